// Colours as the result label takes them (0x00BBGGRR), and the colours of
// the write job's states. No widgets.
#pragma once

#include <cstdint>

typedef uint32_t COLORREF;
constexpr COLORREF RGB(int r, int g, int b) {
    return static_cast<COLORREF>((r & 0xFF) | ((g & 0xFF) << 8) | ((b & 0xFF) << 16));
}
// Passed as a colour: the system default of that colour.
constexpr COLORREF COLOR_SYSTEM = 0xFFFFFFFFu;

constexpr COLORREF ColorIdle = RGB(58, 110, 165);
constexpr COLORREF ColorWait = RGB(255, 255, 0);
constexpr COLORREF ColorPass = RGB(0, 128, 0);
constexpr COLORREF ColorFail = RGB(255, 0, 0);
