// Arbitrary line rates need the kernel's termios2 record, whose header cannot
// share a translation unit with <termios.h>; so it lives alone here.
#include <asm/termbits.h>
#include <sys/ioctl.h>

#include <cerrno>

int QxSetCustomBaud(int fd, int rate) {
  struct termios2 t;
  if (ioctl(fd, TCGETS2, &t) != 0) return errno;
  t.c_cflag &= ~(CBAUD | (CBAUD << IBSHIFT));
  t.c_cflag |= BOTHER | (BOTHER << IBSHIFT);
  t.c_ispeed = static_cast<speed_t>(rate);
  t.c_ospeed = static_cast<speed_t>(rate);
  if (ioctl(fd, TCSETS2, &t) != 0) return errno;
  return 0;
}
