#include "ChildLifetime.h"

#include <QProcess>

#include <csignal>
#include <sys/prctl.h>
#include <unistd.h>

namespace {

// Enough for a tunnel client or node to close its sockets; after that the child is killed.
constexpr int terminateGraceMs = 1500;

} // namespace

namespace ChildLifetime {

void endWithParent(QProcess &process)
{
    const pid_t parent = ::getpid();
    process.setChildProcessModifier([parent] {
        // Runs in the forked child before exec; only async-signal-safe calls here.
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        // The parent may have died between fork and prctl: then no signal will ever come.
        if (::getppid() != parent)
            ::_exit(127);
    });
}

void end(QProcess &process)
{
    if (process.state() == QProcess::NotRunning)
        return;
    process.terminate();
    if (process.waitForFinished(terminateGraceMs))
        return;
    process.kill();
    process.waitForFinished(-1);
}

} // namespace ChildLifetime
