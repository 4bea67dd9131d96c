#pragma once
// Runs a command-line entry point in-process with captured output streams.
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "TestUtil.h"

namespace quenlo::test {

// A raw pair of w x h whose bytes run i * 7 + seed.
inline void WritePair(const std::string& base, int w, int h, uint8_t seed) {
    WriteText(base + ".ipr", std::to_string(w) + " " + std::to_string(h) + " 0 0");
    std::vector<uint8_t> rgb(static_cast<size_t>(w) * h * 3);
    for (size_t i = 0; i < rgb.size(); ++i) rgb[i] = static_cast<uint8_t>(i * 7 + seed);
    WriteBytes(base + ".rgb", rgb);
}

struct CliRun {
    int status;
    std::string out, err;
};

// entry(argc, argv, out, err) is called with program as argv[0].
template <class Entry>
CliRun RunCli(const char* program, std::vector<std::string> args, Entry&& entry) {
    args.insert(args.begin(), program);
    std::vector<const char*> argv;
    for (auto& a : args) argv.push_back(a.c_str());
    FILE* out = std::tmpfile();
    FILE* err = std::tmpfile();
    CliRun r;
    r.status = entry(static_cast<int>(argv.size()), argv.data(), out, err);
    for (auto [f, s] : {std::pair{out, &r.out}, std::pair{err, &r.err}}) {
        std::rewind(f);
        char buf[4096];
        size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) s->append(buf, n);
        std::fclose(f);
    }
    return r;
}

}  // namespace quenlo::test
