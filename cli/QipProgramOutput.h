#pragma once

#include <string>

#include "cli/QipOptionParser.h"

// What every program says the same way: its help, its version, a usage error, and a write
// error on standard output (a full disk, a closed pipe, /dev/full). Writes to the standard
// streams; use from one thread at a time.
class QipProgramOutput {
public:
    static const int cExitUsage = 2;

    explicit QipProgramOutput(std::string program) : mProgram(std::move(program)) {}

    // Flushes standard output, which also reveals a failure of any earlier write to it.
    // False, with "<program>: write error: <reason>" on standard error, when anything
    // written to standard output since the start was lost.
    bool Flush() const;
    // Writes `text` to standard output and flushes; false as Flush().
    bool Write(const std::string& text) const;
    // "<program>: <message>" and "Try '<program> --help'." on standard error; returns
    // cExitUsage.
    int UsageError(const std::string& message) const;
    // What main() does with any outcome but cRun: `usage` or "<program> <version>" on
    // standard output, or the usage error. Returns the exit status: 0, cExitUsage, or
    // `writeErrorStatus` when standard output could not be written.
    int Conclude(QipOptionParser::Outcome outcome, const std::string& usage,
                 const std::string& error, int writeErrorStatus) const;

private:
    std::string mProgram;
};
