#pragma once
// The kernel's views of itself (/proc, /sys) hold nothing an archive can store: their files report
// sizes that aren't their contents (0 bytes, or 4 KiB for a line of text), and their links to
// folders form graphs whose distinct paths, even ten levels deep, run into the millions (every
// process's folder in /proc links to its current folder; every device in /sys to its driver,
// bus and class, which link back to devices). Listing them would keep `zem-builder /` from ever
// reaching its question, so the scan passes such folders over.

// True when the open folder lies on such a file system.
bool isKernelView(int folderFd);
