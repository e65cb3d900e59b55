// The command line both unpacking benchmark programs share: ARCHIVE DESTINATION in, one line out
// with the result, the seconds the unpacking took and the process's peak working set, for
// bench/unzip/run_bench.py.
#pragma once

#include <windows.h>
#include <psapi.h>

#include <cstdio>

inline int RunMeasuredUnpack(int argc, char** argv, const char* program,
                             bool (*unpack)(const char* archive, const char* destination)) {
    if (argc != 3) {
        fprintf(stderr, "usage: %s ARCHIVE DESTINATION\n", program);
        return 2;
    }
    LARGE_INTEGER frequency = {};
    LARGE_INTEGER start = {};
    LARGE_INTEGER end = {};
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&start);
    const bool result = unpack(argv[1], argv[2]);
    QueryPerformanceCounter(&end);
    PROCESS_MEMORY_COUNTERS memory = {};
    memory.cb = sizeof(memory);
    GetProcessMemoryInfo(GetCurrentProcess(), &memory, sizeof(memory));
    printf("result=%d seconds=%.4f peak_working_set=%lu\n", result ? 1 : 0,
           static_cast<double>(end.QuadPart - start.QuadPart) / static_cast<double>(frequency.QuadPart),
           static_cast<unsigned long>(memory.PeakWorkingSetSize));
    return result ? 0 : 1;
}
