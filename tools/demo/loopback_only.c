/* loopback_only: preloaded (LD_PRELOAD) into a program that must listen on
 * this machine's loopback address only. Qt's VNC platform plugin listens on
 * every address and has no option to choose one; with this library loaded
 * its bind to the wildcard address binds to loopback instead (127.0.0.1, or
 * ::1 for a socket that takes IPv6 only). Every other bind passes unchanged. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <netinet/in.h>
#include <string.h>
#include <sys/socket.h>

typedef int (*bind_fn)(int, const struct sockaddr*, socklen_t);

int bind(int fd, const struct sockaddr* addr, socklen_t len) {
  static bind_fn real_bind;
  if (!real_bind) real_bind = (bind_fn)dlsym(RTLD_NEXT, "bind");
  if (addr && addr->sa_family == AF_INET && len >= sizeof(struct sockaddr_in)) {
    struct sockaddr_in a;
    memcpy(&a, addr, sizeof a);
    if (a.sin_addr.s_addr == htonl(INADDR_ANY)) {
      a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      return real_bind(fd, (const struct sockaddr*)&a, sizeof a);
    }
  } else if (addr && addr->sa_family == AF_INET6 && len >= sizeof(struct sockaddr_in6)) {
    struct sockaddr_in6 a;
    memcpy(&a, addr, sizeof a);
    if (IN6_IS_ADDR_UNSPECIFIED(&a.sin6_addr)) {
      int v6only = 0;
      socklen_t n = sizeof v6only;
      if (getsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &v6only, &n) == 0 && v6only) {
        a.sin6_addr = in6addr_loopback;
      } else {
        /* A socket for both families: IPv4's loopback, as ::ffff:127.0.0.1. */
        memset(&a.sin6_addr, 0, sizeof a.sin6_addr);
        a.sin6_addr.s6_addr[10] = 0xff;
        a.sin6_addr.s6_addr[11] = 0xff;
        a.sin6_addr.s6_addr[12] = 127;
        a.sin6_addr.s6_addr[15] = 1;
      }
      return real_bind(fd, (const struct sockaddr*)&a, sizeof a);
    }
  }
  return real_bind(fd, addr, len);
}
