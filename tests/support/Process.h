// Runs one of the kit's programs as a child process for a test.
#ifndef TAVRO_TEST_PROCESS_H
#define TAVRO_TEST_PROCESS_H

#include <chrono>
#include <string>
#include <vector>

namespace tavro::test {

class ChildProcess {
public:
    // Starts the program; its standard output and error are collected.
    ChildProcess(const std::string& program, const std::vector<std::string>& args);
    ~ChildProcess();  // sends SIGTERM, then SIGKILL after a second
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    int pid() const { return pid_; }
    // Waits until the collected output contains the text.
    bool waitForOutput(const std::string& text,
                       std::chrono::milliseconds timeout = std::chrono::milliseconds(5000));
    // Reads the next full line of output (without its newline).
    bool readLine(std::string* line,
                  std::chrono::milliseconds timeout = std::chrono::milliseconds(5000));
    std::string output();  // everything collected so far
    void signal(int sig);
    // Waits for the exit; returns the exit status, or -1 on time-out
    // (128 + signal number when killed by a signal).
    int wait(std::chrono::milliseconds timeout = std::chrono::milliseconds(5000));
    bool running();

private:
    void collect(std::chrono::milliseconds timeout);
    int pid_ = -1;
    int out_ = -1;
    std::string buffer_;
    size_t consumed_ = 0;
    int status_ = -1;
};

// Runs a program to its end; returns its exit status and collects its output.
int RunProgram(const std::string& program, const std::vector<std::string>& args,
               std::string* output, std::chrono::milliseconds timeout = std::chrono::milliseconds(20000));

}  // namespace tavro::test

#endif
