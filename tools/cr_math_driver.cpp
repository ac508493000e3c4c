// Reads doubles from a file, applies one function of src/core/cr_math.hpp to
// each, writes the results: the C++ side of tools/verify_math.py and of the
// test suite's check (tests/test_cr_math.py).
//
//   cr_math_driver <exp|log|log_array|pow15|exp_accurate|log_accurate|pow15_exact> IN OUT
//
// log_array runs cr_log_array over the whole input (two at a time) instead of
// cr_log one by one.
#include <cstdio>
#include <cstring>
#include <vector>

#include "core/cr_math.hpp"

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: %s FUNCTION IN OUT\n", argv[0]);
        return 2;
    }
    double (*f)(double) noexcept = nullptr;
    const char* name = argv[1];
    if (!std::strcmp(name, "exp")) f = quellmar::cr_exp;
    else if (!std::strcmp(name, "log")) f = quellmar::cr_log;
    else if (!std::strcmp(name, "pow15")) f = quellmar::cr_pow15;
    else if (!std::strcmp(name, "exp_accurate")) f = quellmar::cr_exp_accurate;
    else if (!std::strcmp(name, "log_accurate")) f = quellmar::cr_log_accurate;
    else if (!std::strcmp(name, "pow15_exact")) f = quellmar::cr_pow15_exact;
    const bool array = !std::strcmp(name, "log_array");
    if (array) f = quellmar::cr_log;
    if (f == nullptr) {
        std::fprintf(stderr, "unknown function %s\n", name);
        return 2;
    }
    std::FILE* in = std::fopen(argv[2], "rb");
    if (in == nullptr) return 1;
    std::vector<double> v;
    double buf[4096];
    std::size_t got;
    while ((got = std::fread(buf, sizeof(double), 4096, in)) > 0) v.insert(v.end(), buf, buf + got);
    std::fclose(in);
    if (array) quellmar::cr_log_array(v.data(), v.size());
    else
        for (double& x : v) x = f(x);
    std::FILE* out = std::fopen(argv[3], "wb");
    if (out == nullptr) return 1;
    const bool ok = std::fwrite(v.data(), sizeof(double), v.size(), out) == v.size();
    return std::fclose(out) == 0 && ok ? 0 : 1;
}
