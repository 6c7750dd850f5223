// Stands in for the app in the tests that kill it: starts one child the way the app does
// (the switchboard launcher or the tunnel), prints the child's process id, and waits.
//   hosting_parent_helper switchboard <node> <script>
//   hosting_parent_helper tunnel <directory/>
#include "KivrenCloudProcess.h"
#include "KivrenTunnel.h"
#include "LocalSwitchboard.h"
#include "SwitchboardChild.h"

#include <QCoreApplication>
#include <QProcess>

#include <cstdio>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() < 3)
        return 2;

    QProcess *child = nullptr;
    KivrenTunnel tunnel({args.at(2)}, args.at(2) + QStringLiteral("known_hosts"));
    if (args.at(1) == QStringLiteral("switchboard") && args.size() >= 4) {
        KivrenCloudProcess::Roots roots;
        roots.home = QStringLiteral("/nonexistent");
        roots.nodeCandidates = {args.at(2)};
        roots.shippedScript = args.at(3);
        KivrenCloudProcess::start(roots);
        child = KivrenCloudProcess::process();
    } else if (args.at(1) == QStringLiteral("tunnel")) {
        tunnel.start(LocalSwitchboard::port);
        child = tunnel.child();
    }
    if (!child)
        return 1;
    std::printf("%lld\n", static_cast<long long>(child->processId()));
    std::fflush(stdout);
    return app.exec();
}
