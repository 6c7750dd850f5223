#pragma once

#include <QString>

// The words on screen that name this kind of computer. A macOS build says "Mac"; every other
// build says "computer", since a Linux machine is no Mac.
namespace PlatformWording {

// "this computer" ("this Mac"), inside a sentence.
QString thisComputer();
// Under the cloud-address field while this computer has no public origin.
QString switchboardHint();
// Under the cloud-address field when the root view gives no hint.
QString saveCloudHint();
// The viewer's status when Connect is pressed without a cloud address.
QString noCloudAddress();
// Sent as this computer's name when the system has none.
QString computerNameFallback();

} // namespace PlatformWording
