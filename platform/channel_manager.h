// The shell's channel manager (IChannelMgr, IEnumChannels). The platform header declares the
// interfaces, but no import library defines their ids and __uuidof does not know them; both are
// supplied here once for the kit and its stand-in.
#pragma once

#include <windows.h>
#include <ole2.h>
#include <chanmgr.h>

__CRT_UUID_DECL(IChannelMgr, 0x85BD8E82, 0x0FBA, 0x11D1, 0x90, 0xC3, 0x00, 0xC0, 0x4F, 0xC2, 0xF5, 0x68)
__CRT_UUID_DECL(IEnumChannels, 0xA4C65425, 0x0F82, 0x11D1, 0x90, 0xC3, 0x00, 0xC0, 0x4F, 0xC2, 0xF5, 0x68)

namespace kv {
extern const CLSID kClsidChannelMgr;  // {B3CDAE90-D170-11D0-802B-00C04FD75D13}

// The record IEnumChannels::Next fills, laid out as the shell's manager has it: the platform
// header's CHANNELENUMINFO leaves out the leading size, which the caller sets. Passed to Next
// through a cast.
struct ChannelEnumInfo {
    DWORD cbSize;
    LPOLESTR pszTitle;
    LPOLESTR pszPath;
    LPOLESTR pszURL;
    SUBSCRIPTIONSTATE stSubscriptionState;
};
}  // namespace kv
