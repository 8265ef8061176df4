// The list of active drivers that the handheld's device manager keeps in the registry, one
// subkey of HKEY_LOCAL_MACHINE\Drivers\Active per driver instance, each with string values
// such as "Key" (the driver's own key), "Name" (the device it serves, "COM5:") and, for a
// plug-in card, "PnpId". Tests write it as the device manager would.
//
// The end-to-end world's registry is the tests' own, so the whole list may be cleared.
#pragma once

#include <vector>

struct DriverValue {
    const wchar_t* name;
    const wchar_t* data;
};

struct DriverInstance {
    const wchar_t* subkey;
    std::vector<DriverValue> values;
};

// Removes every instance from the list.
bool ClearActiveDrivers();

bool AddActiveDriver(const DriverInstance& instance);
