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
// The list the window shows: the registered items and, when the port setting
// names a COM port that is not among them, an item for it marked absent
// (AbsentPortItem) at the end. A configured port that is unplugged stays the
// operator's choice: it is shown, selected and saved as it is.
std::vector<std::wstring> ShownPortItems(std::vector<std::wstring> items, const PortSetting& port);
// "COM7 (未连接)": a configured port that is not registered now. Its number
// reads back as the port's own, by ChooseSavedPort and ApplyPortSelection.
std::wstring AbsentPortItem(int nPort);
// The item to select for the port setting: 0 (USB) when USB is chosen
// (usb set or port -1); otherwise the first item after "USB" whose number
// (the text after its leading letters of "COM") equals port.port. A port
// below 1 is no COM port, and the default port (port.defaulted) is taken
// only when listed: otherwise port.port becomes -1 and 0 is returned. Once
// chosen, a default port is the configured one. -1 when no item matches a
// configured port: the setting is kept (a job on it reports that the port
// does not open).
int ChooseSavedPort(const std::vector<std::wstring>& items, PortSetting& port);
// A selection change: "USB" (any case) selects USB; otherwise usb = 0 and the
// number is read with "COM%d" (case-sensitive; a text that does not match
// leaves port.port as it was).
void ApplyPortSelection(const std::wstring& item, PortSetting& port);
