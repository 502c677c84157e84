// Running one of the kit's programs as another, unprivileged user.  The
// build tree may sit where that user cannot enter (a checkout in root's
// home, mode 0700), so the program and the kit's libraries are copied into a
// temporary directory anyone can read, and the program loads them from there.
#ifndef TAVRO_TEST_OTHER_USER_H
#define TAVRO_TEST_OTHER_USER_H

#include <chrono>
#include <string>
#include <vector>

namespace tavro::test {

// Runs the program as the given user and group (no supplementary groups)
// with setpriv; returns its exit status (127 when the user cannot be
// changed) and collects its output.
int RunProgramAsUser(unsigned id, const std::string& program, const std::vector<std::string>& args,
                     std::string* output,
                     std::chrono::milliseconds timeout = std::chrono::milliseconds(20000));

}  // namespace tavro::test

#endif
