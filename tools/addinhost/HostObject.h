#pragma once
// A small automation object standing in for what Office hands its add-ins:
// the Application object and the add-in's own COMAddIn object. It answers
// property reads of a few named texts ("Name", "ProgId") and nothing else.

#include <oaidl.h>

#include <string>
#include <utility>
#include <vector>

using HostProperties = std::vector<std::pair<std::wstring, std::wstring>>;

// A new object with one reference, or null when memory is short.
IDispatch* CreateHostObject(HostProperties a_properties);
