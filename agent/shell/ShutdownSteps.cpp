#include "ShutdownSteps.h"

#include "Winsock.h"
#include "modMain.h"

namespace ShutdownSteps {

void Unload(modMain &state, Winsock &wskPop, Winsock &wskSmtp)
{
    wskPop.Close();
    wskSmtp.Close();
    state.TrayData.setAndApply(TrayStatus::Icon::Terminating, TrayStatus::Terminating);
}

void CloseLog(modMain &state)
{
    state.LogToFile = false;
    state.ActivityLog.reset();
}

} // namespace ShutdownSteps
