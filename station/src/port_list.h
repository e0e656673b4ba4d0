// The port list: "USB" and every COM port registered under
// HARDWARE\DEVICEMAP\SERIALCOMM, and the rules that turn the operator's
// choice into the port setting. No widgets.
#pragma once

#include <string>
#include <vector>

#include "station_settings.h"

// Item 0 is "USB"; then each registered port's name ("COM3") as the registry
// holds it. A registry that does not open gives "USB" alone.
std::vector<std::wstring> FillPortList();
// The item to select for the saved port: the first item after "USB" whose
// number (the text after its leading letters of "COM") equals port.port.
// When none does, port.port becomes -1 and 0 (USB) is returned.
int ChooseSavedPort(const std::vector<std::wstring>& items, PortSetting& port);
// A selection change: "USB" (any case) selects USB; otherwise usb = 0 and the
// number is read with "COM%d" (case-sensitive; a text that does not match
// leaves port.port as it was).
void ApplyPortSelection(const std::wstring& item, PortSetting& port);
