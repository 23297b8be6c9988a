#include "cli/QipProgramOutput.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>

bool QipProgramOutput::Flush() const {
    errno = 0;
    const bool flushed = fflush(stdout) == 0;
    // Taken at once: the message below is itself a write and may change errno.
    const int code = errno;
    if (flushed && ferror(stdout) == 0) return true;
    if (code != 0) {
        fprintf(stderr, "%s: write error: %s\n", mProgram.c_str(), strerror(code));
    } else {
        fprintf(stderr, "%s: write error\n", mProgram.c_str());
    }
    return false;
}

bool QipProgramOutput::Write(const std::string& text) const {
    fwrite(text.data(), 1, text.size(), stdout);
    return Flush();
}

int QipProgramOutput::UsageError(const std::string& message) const {
    fprintf(stderr, "%s: %s\nTry '%s --help'.\n", mProgram.c_str(), message.c_str(), mProgram.c_str());
    return cExitUsage;
}

int QipProgramOutput::Conclude(QipOptionParser::Outcome outcome, const std::string& usage,
                               const std::string& error, int writeErrorStatus) const {
    switch (outcome) {
    case QipOptionParser::Outcome::cHelp:
        return Write(usage) ? 0 : writeErrorStatus;
    case QipOptionParser::Outcome::cVersion:
        return Write(mProgram + " " + QIPFINDER_VERSION + "\n") ? 0 : writeErrorStatus;
    case QipOptionParser::Outcome::cUsageError:
        return UsageError(error);
    case QipOptionParser::Outcome::cRun:
        break;
    }
    return 0;
}
