// Unpacks one archive with CUnzipper::ExtractArchive and reports the result, the time the
// unpacking took and the process's peak working set, for bench/unzip/run_bench.py.
#include "measured_unpack.h"
#include "unzip/unzipper.h"

int main(int argc, char** argv) {
    return RunMeasuredUnpack(argc, argv, "vxunzip_bench", &CUnzipper::ExtractArchive);
}
