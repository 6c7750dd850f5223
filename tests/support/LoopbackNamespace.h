#pragma once

// End-to-end tests run the real app, which looks for ssh and cloudflared and opens a public
// tunnel when it finds one. Each such test therefore runs itself again inside a fresh network
// namespace with loopback alone, where the app can reach nothing beyond this machine.
namespace LoopbackNamespace {

// True in the copy of the test that runs inside the namespace.
bool inside();
// Whether this machine lets the test make a namespace at all.
bool available();
// Runs the current test again, alone, inside a fresh namespace, its output forwarded; true when
// it passed there within `timeoutMs`.
bool rerunCurrentTest(int timeoutMs);

} // namespace LoopbackNamespace

// Opens an end-to-end test's body: outside the namespace it runs the test again inside one (or
// skips where none can be made) and ends with that run's verdict; inside, the body goes on.
#define KIVREN_RUN_IN_LOOPBACK_NAMESPACE(timeoutMs)                                                          \
    if (!LoopbackNamespace::inside()) {                                                                      \
        if (!LoopbackNamespace::available())                                                                 \
            GTEST_SKIP() << "network namespaces are not available here";                                     \
        EXPECT_TRUE(LoopbackNamespace::rerunCurrentTest(timeoutMs))                                          \
            << "the test inside the namespace failed (its output is above)";                                 \
        return;                                                                                              \
    }
