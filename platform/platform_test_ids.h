#pragma once
#define IDS_LIST_63 201
#define IDS_LIST_64 202
#define IDS_LIST_64_TRAILING 203
#define IDS_LIST_65 204
#define IDS_MESSAGE 205
#define IDS_MISSING 299
