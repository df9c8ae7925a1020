/* Line speeds that have no B-constant, through the kernel's termios2 requests. Kept apart from
 * line_linux.cpp because the kernel's terminal headers cannot be mixed with glibc's termios.h. */
#ifndef NORVAT_TERMIOS2_LINUX_H
#define NORVAT_TERMIOS2_LINUX_H

/* Sets rate bit/s (input and output) on the terminal fd, leaving everything else as it is.
 * Returns false with errno set when the request fails, or with EINVAL when the driver kept
 * another rate (the previous settings are then put back). */
bool SetCustomRate(int fd, int rate);

#endif
