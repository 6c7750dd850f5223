#include "DesktopBackend.h"

namespace {
DesktopBackend *installed = nullptr;
}

DesktopBackend *DesktopBackend::current()
{
    return installed;
}

void DesktopBackend::install(DesktopBackend *backend)
{
    installed = backend;
}
