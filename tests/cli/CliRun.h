#pragma once
// Runs a command-line entry point in-process with captured output streams.
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "TestUtil.h"
#include "cli/ConvertCli.h"

namespace quenlo::test {

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

inline CliRun RunConvert(std::vector<std::string> args) {
    return RunCli("quenlo-convert", std::move(args), [](int argc, const char* const* argv, FILE* out, FILE* err) {
        return RunConvertCli(argc, argv, out, err);
    });
}

}  // namespace quenlo::test
