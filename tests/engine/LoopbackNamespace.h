#pragma once

// Moves the calling thread into a network namespace of its own with only the loopback
// interface up, so that a real discovery client can run without broadcasting on the
// machine's interfaces. Threads created afterwards by the caller inherit the namespace, so
// Enter must run before the code under test starts any thread. Needs root (or
// unprivileged user namespaces); on failure it writes one line to standard error.
class LoopbackNamespace {
public:
    // True when the caller now lives in a fresh namespace with "lo" up. Idempotent.
    static bool Enter();
    static bool IsEntered();
};
