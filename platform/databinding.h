// The browser's data-binding interfaces (simple provider, its listener, the data source
// listener). The platform headers declare them but no import library defines their IIDs, and
// they lack the declarations that __uuidof needs; both are supplied here once for the kit.
#pragma once

#include <windows.h>
#include <ole2.h>
#include <simpdata.h>
#include <msdatsrc.h>

__CRT_UUID_DECL(OLEDBSimpleProvider, 0xE0E270C0, 0xC0BE, 0x11D0, 0x8F, 0xE4, 0x00, 0xA0, 0xC9, 0x0A, 0x63, 0x41)
__CRT_UUID_DECL(OLEDBSimpleProviderListener, 0xE0E270C1, 0xC0BE, 0x11D0, 0x8F, 0xE4, 0x00, 0xA0, 0xC9, 0x0A,
                0x63, 0x41)
__CRT_UUID_DECL(DataSourceListener, 0x7C0FFAB2, 0xCD84, 0x11D0, 0x94, 0x9A, 0x00, 0xA0, 0xC9, 0x11, 0x10, 0xED)
