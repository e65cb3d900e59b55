// Archives of a few entries with random bytes flipped (and now and then cut short), unpacked again
// and again: the unpacker must neither crash nor hang, and must never write outside its destination.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "files.h"
#include "unzip/unzipper.h"
#include "zip_writer.h"

namespace {

const int kIterations = 3000;
const DWORD kTimeBudgetMs = 120000;
const std::string kInside = "dest\\inner\\";

std::string FlipBytes(std::string archive, std::mt19937& generator) {
    const int flips = 1 + static_cast<int>(generator() % 8);
    for (int i = 0; i < flips; ++i) {
        const size_t at = generator() % archive.size();
        archive[at] = static_cast<char>(archive[at] ^ (1 + generator() % 255));
    }
    if (generator() % 10 == 0) {
        archive.resize(generator() % archive.size());
    }
    return archive;
}

TEST(CorruptionSweep, NeverACrashAHangOrAFileOutsideTheDestination) {
    CSandbox sandbox;
    const std::string base = BuildZip({
        DeflatedEntry("bin/app.dll", TextBytes(700, 1)),
        StoredEntry("readme.txt", "read me"),
        StoredEntry("data/", ""),
        DeflatedEntry("data\\deep\\table.bin", RandomBytes(200, 2)),
        StoredEntry("empty.txt", ""),
    });
    ASSERT_TRUE(WriteWholeFile(sandbox.Path("base.zip"), base));
    ASSERT_TRUE(
        CUnzipper::ExtractArchive(sandbox.Path("base.zip").c_str(), sandbox.Path("dest\\inner").c_str()));
    RemoveTree(sandbox.Path("dest"));

    const uint32_t seed = 20240601;
    std::mt19937 generator(seed);
    const std::string archivePath = sandbox.Path("flipped.zip");
    const DWORD start = GetTickCount();
    int iterations = 0;
    int successes = 0;
    for (; iterations < kIterations && GetTickCount() - start < kTimeBudgetMs; ++iterations) {
        const std::string archive = FlipBytes(base, generator);
        ASSERT_TRUE(WriteWholeFile(archivePath, archive));
        if (CUnzipper::ExtractArchive(archivePath.c_str(), sandbox.Path("dest\\inner").c_str())) {
            ++successes;
        }
        for (const std::string& path : ListTree(sandbox.Root())) {
            const bool inside = path == "base.zip" || path == "flipped.zip" || path == "dest\\" ||
                                path.compare(0, kInside.size(), kInside) == 0;
            ASSERT_TRUE(inside) << "iteration " << iterations << " of seed " << seed << " wrote " << path;
        }
        RemoveTree(sandbox.Path("dest"));
    }
    printf("%d damaged archives unpacked, %d of them reported as whole\n", iterations, successes);
    EXPECT_GE(iterations, 200);
}

}  // namespace
