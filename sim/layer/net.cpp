// The management port's link test. qemu-ppc does not translate
// SIOCETHTOOL, so under qemu the layer answers ETHTOOL_GLINK itself from the
// interface's IFF_RUNNING flag (which follows the carrier); the host build
// asks the kernel. Both record the answer in the trace.
#include "layer.h"
#include <errno.h>
#include <linux/ethtool.h>
#include <linux/sockios.h>
#include <net/if.h>
#include <string.h>
#include <sys/ioctl.h>

namespace boardsim {

namespace {

#if defined(__powerpc__) && !defined(__powerpc64__)
constexpr bool answer_link_here = true;
#else
constexpr bool answer_link_here = false;
#endif

int link_from_flags(int fd, struct ifreq* ifr, ethtool_value* value)
{
    struct ifreq query;
    memset(&query, 0, sizeof query);
    memcpy(query.ifr_name, ifr->ifr_name, IFNAMSIZ);
    if (real.ioctl(fd, SIOCGIFFLAGS, &query) < 0)
        return -1;
    value->data = (query.ifr_flags & IFF_RUNNING) ? 1 : 0;
    return 0;
}

} // namespace

int net_ioctl(int fd, unsigned long request, void* arg, bool* handled)
{
    *handled = false;
    if (request != SIOCETHTOOL || !arg)
        return 0;
    struct ifreq* ifr = static_cast<struct ifreq*>(arg);
    ethtool_value* value = reinterpret_cast<ethtool_value*>(ifr->ifr_data);
    if (!value || value->cmd != ETHTOOL_GLINK)
        return 0;
    *handled = true;
    char name[IFNAMSIZ + 1];
    memcpy(name, ifr->ifr_name, IFNAMSIZ);
    name[IFNAMSIZ] = '\0';
    int result = answer_link_here ? link_from_flags(fd, ifr, value) : real.ioctl(fd, request, arg);
    if (result < 0) {
        int err = errno;
        trace("net ethtool %s glink %s", name, errno_name(err));
        errno = err;
        return result;
    }
    trace("net ethtool %s glink link=%u", name, value->data);
    return result;
}

} // namespace boardsim
