#include <iostream>
#include <string>
#include <vector>

#include "doctor/doctor_cli.h"

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    return qe::RunDoctor(args, std::cout, std::cerr);
}
