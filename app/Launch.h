#ifndef QV_APP_LAUNCH_H
#define QV_APP_LAUNCH_H

#include <string>

namespace Quorvel {

// Starts a program as a double click would: verb "open", no arguments.
// Does not wait for it.
bool LaunchProgram(const std::wstring& file, const std::wstring& directory);

}  // namespace Quorvel

#endif
