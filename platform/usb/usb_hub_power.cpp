// The port's power: suspended while its device is below D0 or the system
// sleeps, resumed by the device's D0 request (the system is waking then)
// or by the system's return to S0 with the device still in D0.
#include "power/power_manager.h"
#include "usb/usb_hub.h"

namespace qv::usb::detail {

void Hub::SetPower(Port& port, POWER_STATE_TYPE type, POWER_STATE state) {
    bool suspend = false;
    bool resume = false;
    {
        HubLock lock(lock_);
        if (type == DevicePowerState) {
            port.deviceLow = state.DeviceState != PowerDeviceD0;
            // A device asked back to D0 means the system is working again.
            if (!port.deviceLow) port.systemAsleep = false;
        } else {
            port.systemAsleep = state.SystemState != PowerSystemWorking;
        }
        const bool suspended = port.deviceLow || port.systemAsleep;
        suspend = suspended && !port.suspended;
        resume = !suspended && port.suspended;
        port.suspended = suspended;
        if (!port.gone) {
            if (suspend) port.model->Suspend();
            if (resume) port.model->Resume();
        }
    }
    if (suspend) Log(port.name + " suspended");
    if (resume) Log(port.name + " resumed");
}

void Hub::NotePowerRequest(Port& port, const IO_STACK_LOCATION& stack) {
    const bool system = stack.Parameters.Power.Type == SystemPowerState;
    const std::string state = system ? power::SystemStateText(stack.Parameters.Power.State.SystemState)
                                     : power::DeviceStateText(stack.Parameters.Power.State.DeviceState);
    Log(port.name + (stack.MinorFunction == IRP_MN_QUERY_POWER ? " power query " : " power set ") + state);
}

} // namespace qv::usb::detail
