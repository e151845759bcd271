// The verdicts of the test programs that run without a test framework (under
// wine, in the VM): one line per check on stderr ("PASS name" / "FAIL name:
// detail", "INFO" figures), the bytes the library must print appended to
// expected_stdout.bin, and the library's own lines about a lost controller.
// Header-only; one test program a process, so the failure count is the
// process's.
#ifndef TEVUIO_TESTS_VERDICTS_H
#define TEVUIO_TESTS_VERDICTS_H

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

namespace verdict {

inline int failures;

inline bool check(bool ok, const std::string &name, const std::string &detail = "") {
    if (ok)
        fprintf(stderr, "PASS %s\n", name.c_str());
    else
        fprintf(stderr, "FAIL %s%s%s\n", name.c_str(), detail.empty() ? "" : ": ", detail.c_str());
    failures += ok ? 0 : 1;
    return ok;
}

inline void info(const std::string &text) {
    fprintf(stderr, "INFO %s\n", text.c_str());
}

// Appends what the library must print next to expected_stdout.bin.
inline void expect_stdout(const std::string &text) {
    FILE *f = fopen("expected_stdout.bin", "ab");
    fwrite(text.data(), 1, text.size(), f);
    fclose(f);
}

const char *const lost_line = "Controller disconnected; inputs released. Searching for it.\r\n";
const char *const found_line = "Controller connected again.\r\n";

// Median, worst and count of a set of times.
inline std::string figures(std::vector<long> ms) {
    std::sort(ms.begin(), ms.end());
    if (ms.empty())
        return "none";
    return "median " + std::to_string(ms[ms.size() / 2]) + " ms, worst " +
           std::to_string(ms.back()) + " ms of " + std::to_string(ms.size());
}

} // namespace verdict

#endif
