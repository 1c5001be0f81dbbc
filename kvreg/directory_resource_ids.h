// String resources of the directory control (kvreg/directory_resources.rc).
#pragma once

#define IDS_DIRECTORY_YES 101
#define IDS_DIRECTORY_NO 102
#define IDS_COMPUTED_COLUMNS 103
#define IDS_FIELD_COLUMNS 104
#define IDS_EXTRA_COLUMNS 105
#define IDS_ENTRY_METHODS 106
#define IDS_TYPE_NAMES 107
#define IDS_STATE_NAMES 108
#define IDS_ATTRIBUTE_NAMES 109
