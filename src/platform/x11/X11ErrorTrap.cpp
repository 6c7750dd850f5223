#include "X11ErrorTrap.h"

namespace {

int trappedErrors = 0;

int countError(Display *, XErrorEvent *)
{
    ++trappedErrors;
    return 0;
}

} // namespace

X11ErrorTrap::X11ErrorTrap()
    : m_previous(XSetErrorHandler(countError))
    , m_before(trappedErrors)
{}

X11ErrorTrap::~X11ErrorTrap()
{
    XSetErrorHandler(m_previous);
}

bool X11ErrorTrap::failed() const
{
    return trappedErrors != m_before;
}
