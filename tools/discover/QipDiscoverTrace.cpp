// What qip-discover says on standard error about the search: --verbose and the diagnosis.
#include "tools/discover/QipDiscover.h"

#include <stdio.h>

#include "describe/QipDiagnosis.h"
#include "tools/discover/QipDiscoverFormat.h"
#include "tools/discover/QipDiscoverOutcome.h"

void QipDiscover::Tracer::OnTrace(const Event& event) {
    typedef QipClient::TraceHandler::Event E;
    const std::string on = event.mInterface.empty()
                               ? std::string()
                               : " on " + QipDiscoverFormat::TerminalText(event.mInterface);
    const std::string from = QipDiscoverFormat::TerminalText(event.mAddress);
    const std::string device = QipDiscoverFormat::TerminalText(event.mDeviceType) + " " +
                               QipDiscoverFormat::TerminalText(event.mDeviceId);
    std::string line;
    switch (event.mKind) {
    case E::cBroadcastSent:
        line = "sent whoisthere to " + from + on;
        break;
    case E::cBroadcastFailed:
        line = "could not send whoisthere to " + from + on;
        break;
    case E::cHelloHeard:
        line = "heard " + device + " from " + from + on;
        if (!mOuter->mDescriber.IsWanted(event.mDeviceType)) line += ", left out: type not wanted";
        break;
    case E::cHelloOtherInterface:
        line = "heard " + device + " from " + from + on + ", left out: not a chosen interface";
        break;
    case E::cWhoIsThereHeard:
        if (!event.mIsFromOther) return;  // this program's own broadcast coming back
        line = "heard whoisthere from another client at " + from + on;
        break;
    case E::cMalformedHeard:
        line = "heard an unreadable datagram from " + from + on;
        break;
    case E::cProbeTarget:
        line = "probing " + from + ": " + event.mDetail + " (" + std::to_string(event.mCount) +
               (event.mCount == 1 ? " address)" : " addresses)") +
               (event.mInterface.empty() ? std::string()
                                         : " from " + QipDiscoverFormat::TerminalText(event.mInterface) +
                                               " " + event.mDeviceId);
        break;
    case E::cProbeFailed:
        line = "cannot probe " + from + ": " + event.mDetail;
        break;
    case E::cProbeUnresolved:
        line = "cannot resolve " + from + ": " + event.mDetail;
        break;
    case E::cProbeOtherInterface:
        line = "probes to " + from + " leave through " +
               QipDiscoverFormat::TerminalText(event.mInterface) +
               ", which --interface leaves out; their answers are kept";
        break;
    case E::cProbeSweepDone:
        line = "probes sent: " + std::to_string(event.mCount) +
               (event.mFailures > 0 ? ", " + std::to_string(event.mFailures) + " failed" : std::string());
        break;
    case E::cDatagramsDropped:
        line = "the kernel dropped " + std::to_string(event.mCount) + " datagrams so far";
        break;
    }
    fprintf(stderr, "qip-discover: %s\n", line.c_str());
}

void QipDiscover::PrintDiagnosis(const QipDiagnosis::Input& input, long long listenedMs) {
    const QipDiagnosis::Result result = QipDiagnosis::Diagnose(input);
    // A search that heard nothing at all in a moment was too short, whatever else may be.
    std::string text = result.mAnswered == 0 ? QipDiscoverOutcome::ShortListenText(listenedMs) : "";
    if (text.empty()) text = QipDiagnosis::Text(input, result);
    // Device types in it came from the network: each line is made safe for the terminal.
    size_t begin = 0;
    while (begin < text.size()) {
        size_t end = text.find('\n', begin);
        if (end == std::string::npos) end = text.size();
        fprintf(stderr, "%s\n", QipDiscoverFormat::TerminalText(text.substr(begin, end - begin)).c_str());
        begin = end + 1;
    }
}

