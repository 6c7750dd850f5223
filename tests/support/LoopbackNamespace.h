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
