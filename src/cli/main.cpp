#include <cstdio>

#include "cli/ConvertCli.h"

int main(int argc, char** argv) { return quenlo::RunConvertCli(argc, argv, stdout, stderr); }
