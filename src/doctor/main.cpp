#include <exception>
#include <iostream>
#include <string>
#include <vector>

#include "doctor/doctor_cli.h"

int main(int argc, char** argv) {
    try {
        const std::vector<std::string> args(argv + 1, argv + argc);
        return qe::RunDoctor(args, std::cout, std::cerr, "/proc/self/exe");
    } catch (const std::exception& e) {
        // Only resource exhaustion (memory, threads) gets here.
        std::cerr << "quorvane-enroll-doctor: " << e.what() << "\n";
        return 1;
    }
}
