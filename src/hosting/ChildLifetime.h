#pragma once

class QProcess;

// Ties a child process to this program's life: a tunnel or switchboard left running after
// the app is gone would keep this machine reachable with nobody watching.
namespace ChildLifetime {

// Before start: the child gets SIGTERM when this program dies, a crash included
// (PR_SET_PDEATHSIG), and exits at once if the program died while it was being started.
void endWithParent(QProcess &process);

// Asks a running child to terminate, waits briefly, then kills it; returns once it is gone.
void end(QProcess &process);

} // namespace ChildLifetime
