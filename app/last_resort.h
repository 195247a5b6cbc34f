// The program's last resort: an allocation that cannot be met, or an
// exception that nothing caught, ends the program with a message on stderr
// instead of a bare abort. Installed first thing in main.
#pragma once

namespace stage::app {

void InstallLastResortHandlers();

}  // namespace stage::app
