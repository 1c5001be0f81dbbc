// Resource numbers of the story control's texts and images.
#pragma once

#define IDS_STORY_TYPE_NAMES 101  // "Story,Flash,Wallpaper,Audio,DataParcel"
#define IDS_YES_NO 102            // "Yes,No"
#define IDS_SIZE_BYTES 103
#define IDS_SIZE_KB 104
#define IDS_SIZE_MB 105
#define IDS_STORY_MEMBERS 106        // "Exists,Play,StoryObject"
#define IDS_HARMLESS_EXTENSIONS 107  // "htm,gif,jpg,jpe,bmp,txt"
#define IDS_EXECUTABLE_WARNING 108   // the warning's text and caption

// The icons: RT_HTML (23) resources numbered 16 + icon flags, so that res: addresses reach them.
#define IDR_STORY_ICON_FIRST 16
#define IDR_STORY_ICON_LAST 31
