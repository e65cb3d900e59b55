// Unpacks one archive with CUnzipper::ExtractArchive and reports the result, the time the
// unpacking took and the process's peak working set, for bench/unzip/run_bench.py.
#include <windows.h>
#include <psapi.h>

#include <cstdio>

#include "unzip/unzipper.h"

int main(int argc, char** argv) {
    if (argc != 3) {
        fprintf(stderr, "usage: vxunzip_bench ARCHIVE DESTINATION\n");
        return 2;
    }
    LARGE_INTEGER frequency = {};
    LARGE_INTEGER start = {};
    LARGE_INTEGER end = {};
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&start);
    const bool result = CUnzipper::ExtractArchive(argv[1], argv[2]);
    QueryPerformanceCounter(&end);
    PROCESS_MEMORY_COUNTERS memory = {};
    memory.cb = sizeof(memory);
    GetProcessMemoryInfo(GetCurrentProcess(), &memory, sizeof(memory));
    printf("result=%d seconds=%.4f peak_working_set=%lu\n", result ? 1 : 0,
           static_cast<double>(end.QuadPart - start.QuadPart) / static_cast<double>(frequency.QuadPart),
           static_cast<unsigned long>(memory.PeakWorkingSetSize));
    return result ? 0 : 1;
}
