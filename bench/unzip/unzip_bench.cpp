// Unpacks one archive with CUnzipper::ExtractArchive, then deletes the files it replaced as the
// starter does, and reports the result, the time both took and the process's peak working set, for
// bench/unzip/run_bench.py.
#include "measured_unpack.h"
#include "unzip/unzipper.h"

namespace {

bool UnpackAndRemoveReplaced(const char* archive, const char* destination) {
    const bool unpacked = CUnzipper::ExtractArchive(archive, destination);
    CUnzipper::RemoveReplacedFiles(destination);
    return unpacked;
}

}  // namespace

int main(int argc, char** argv) {
    return RunMeasuredUnpack(argc, argv, "vxunzip_bench", &UnpackAndRemoveReplaced);
}
