#include "platform/net/routing_tables.hpp"

#include <arpa/inet.h>
#include <linux/if_addr.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <functional>

#include "platform/net/interface_type.hpp"

namespace veltrano::platform {
namespace {

constexpr int kDumpAttempts = 5;

std::system_error systemError(const char* what, int code = errno) {
  return std::system_error(code, std::generic_category(), what);
}

template <class Header>
void sendDump(int socket, std::uint16_t type, std::uint32_t sequence, const Header& body) {
  struct {
    nlmsghdr header;
    Header body;
  } request{};
  request.header.nlmsg_len = NLMSG_LENGTH(sizeof(Header));
  request.header.nlmsg_type = type;
  request.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
  request.header.nlmsg_seq = sequence;
  request.body = body;
  sockaddr_nl kernel{};
  kernel.nl_family = AF_NETLINK;
  if (sendto(socket, &request, request.header.nlmsg_len, 0, reinterpret_cast<sockaddr*>(&kernel), sizeof kernel) < 0)
    throw systemError("rtnetlink request");
}

// NLMSG_OK, whose last test compares the header's unsigned length with the signed remainder; that remainder is
// not negative once the first test holds.
bool wholeMessage(const nlmsghdr* message, int remaining) {
  return remaining >= static_cast<int>(sizeof(nlmsghdr)) && message->nlmsg_len >= sizeof(nlmsghdr) &&
         message->nlmsg_len <= static_cast<unsigned>(remaining);
}

// Reads the replies to one dump; false when the kernel says the tables changed during it.
bool receiveDump(int socket, std::uint32_t sequence, const std::function<void(const nlmsghdr&)>& each) {
  std::array<char, 65536> buffer;
  bool interrupted = false;
  for (;;) {
    const ssize_t length = recv(socket, buffer.data(), buffer.size(), 0);
    if (length < 0) {
      if (errno == EINTR) continue;
      throw systemError("rtnetlink reply");
    }
    int remaining = static_cast<int>(length);
    for (auto* message = reinterpret_cast<nlmsghdr*>(buffer.data()); wholeMessage(message, remaining);
         message = NLMSG_NEXT(message, remaining)) {
      if (message->nlmsg_seq != sequence) continue;  // a late reply to an earlier, abandoned dump
      if (message->nlmsg_flags & NLM_F_DUMP_INTR) interrupted = true;
      if (message->nlmsg_type == NLMSG_DONE) return !interrupted;
      if (message->nlmsg_type == NLMSG_ERROR) {
        const auto* error = static_cast<const nlmsgerr*>(NLMSG_DATA(message));
        if (error->error == 0) continue;
        throw systemError("rtnetlink dump", -error->error);
      }
      each(*message);
    }
  }
}

template <class Visit>
void forEachAttribute(const rtattr* first, int length, Visit visit) {
  for (auto* attribute = first; RTA_OK(attribute, length); attribute = RTA_NEXT(attribute, length)) visit(*attribute);
}

std::string addressText(int family, const void* data, std::size_t size) {
  char text[INET6_ADDRSTRLEN] = {};
  if ((family == AF_INET && size < 4) || (family == AF_INET6 && size < 16)) return {};
  if (inet_ntop(family, data, text, sizeof text) == nullptr) return {};
  return text;
}

void addLink(const nlmsghdr& message, RoutingTables& tables) {
  if (message.nlmsg_type != RTM_NEWLINK) return;
  const auto* info = static_cast<const ifinfomsg*>(NLMSG_DATA(&message));
  RoutingTables::Link link;
  link.index = info->ifi_index;
  link.flags = info->ifi_flags;
  forEachAttribute(IFLA_RTA(info), static_cast<int>(IFLA_PAYLOAD(&message)), [&](const rtattr& attribute) {
    if (attribute.rta_type == IFLA_IFNAME)
      link.name.assign(static_cast<const char*>(RTA_DATA(&attribute)), strnlen(static_cast<const char*>(RTA_DATA(&attribute)), RTA_PAYLOAD(&attribute)));
  });
  link.type = interfaceType(link.name, info->ifi_type);
  tables.links.push_back(std::move(link));
}

void addAddress(const nlmsghdr& message, RoutingTables& tables) {
  if (message.nlmsg_type != RTM_NEWADDR) return;
  const auto* info = static_cast<const ifaddrmsg*>(NLMSG_DATA(&message));
  if (info->ifa_family != AF_INET && info->ifa_family != AF_INET6) return;
  std::uint32_t flags = info->ifa_flags;
  std::string local, address;
  forEachAttribute(IFA_RTA(info), static_cast<int>(IFA_PAYLOAD(&message)), [&](const rtattr& attribute) {
    if (attribute.rta_type == IFA_FLAGS && RTA_PAYLOAD(&attribute) >= sizeof(std::uint32_t))
      std::memcpy(&flags, RTA_DATA(&attribute), sizeof flags);
    else if (attribute.rta_type == IFA_LOCAL)
      local = addressText(info->ifa_family, RTA_DATA(&attribute), RTA_PAYLOAD(&attribute));
    else if (attribute.rta_type == IFA_ADDRESS)
      address = addressText(info->ifa_family, RTA_DATA(&attribute), RTA_PAYLOAD(&attribute));
  });
  RoutingTables::Address entry;
  entry.index = static_cast<int>(info->ifa_index);
  entry.family = info->ifa_family;
  // On a point-to-point link IFA_ADDRESS is the far end; IFA_LOCAL is always ours.
  entry.text = local.empty() ? address : local;
  // IPv6 temporary (privacy) addresses come and go on their own schedule without breaking the path. The same
  // bit marks an IPv4 secondary address, which counts.
  const std::uint32_t unsettled =
      IFA_F_TENTATIVE | IFA_F_DADFAILED | (info->ifa_family == AF_INET6 ? IFA_F_TEMPORARY : 0);
  entry.global = info->ifa_scope == RT_SCOPE_UNIVERSE && (flags & unsettled) == 0;
  if (!entry.text.empty()) tables.addresses.push_back(std::move(entry));
}

std::string gatewayText(int family, const rtattr& attribute, int index, const RoutingTables& tables) {
  const void* data = RTA_DATA(&attribute);
  std::string text = addressText(family, data, RTA_PAYLOAD(&attribute));
  if (family == AF_INET6 && !text.empty() && IN6_IS_ADDR_LINKLOCAL(static_cast<const in6_addr*>(data))) {
    // A link-local router means nothing without its link.
    for (const auto& link : tables.links)
      if (link.index == index) text += "%" + link.name;
  }
  return text;
}

void addRoute(const nlmsghdr& message, RoutingTables& tables) {
  if (message.nlmsg_type != RTM_NEWROUTE) return;
  const auto* info = static_cast<const rtmsg*>(NLMSG_DATA(&message));
  if (info->rtm_dst_len != 0 || info->rtm_type != RTN_UNICAST) return;
  if (info->rtm_family != AF_INET && info->rtm_family != AF_INET6) return;
  std::uint32_t table = info->rtm_table;
  int outputIndex = 0;
  const rtattr* gateway = nullptr;
  const rtattr* multipath = nullptr;
  forEachAttribute(RTM_RTA(info), static_cast<int>(RTM_PAYLOAD(&message)), [&](const rtattr& attribute) {
    if (attribute.rta_type == RTA_TABLE && RTA_PAYLOAD(&attribute) >= sizeof(std::uint32_t))
      std::memcpy(&table, RTA_DATA(&attribute), sizeof table);
    else if (attribute.rta_type == RTA_OIF && RTA_PAYLOAD(&attribute) >= sizeof(int))
      std::memcpy(&outputIndex, RTA_DATA(&attribute), sizeof outputIndex);
    else if (attribute.rta_type == RTA_GATEWAY)
      gateway = &attribute;
    else if (attribute.rta_type == RTA_MULTIPATH)
      multipath = &attribute;
  });
  if (table != RT_TABLE_MAIN) return;
  const int family = info->rtm_family;
  if (multipath == nullptr) {
    tables.defaultRoutes.push_back(
        {family, outputIndex, gateway ? gatewayText(family, *gateway, outputIndex, tables) : std::string()});
    return;
  }
  int remaining = static_cast<int>(RTA_PAYLOAD(multipath));
  for (auto* hop = static_cast<const rtnexthop*>(RTA_DATA(multipath)); RTNH_OK(hop, remaining);
       remaining -= NLMSG_ALIGN(hop->rtnh_len), hop = RTNH_NEXT(hop)) {
    std::string hopGateway;
    forEachAttribute(RTNH_DATA(hop), static_cast<int>(hop->rtnh_len - sizeof(rtnexthop)), [&](const rtattr& attribute) {
      if (attribute.rta_type == RTA_GATEWAY) hopGateway = gatewayText(family, attribute, hop->rtnh_ifindex, tables);
    });
    tables.defaultRoutes.push_back({family, hop->rtnh_ifindex, std::move(hopGateway)});
  }
}

}  // namespace

int openRoutingSocket(std::error_code& error) {
  const int fd = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
  if (fd < 0) {
    error.assign(errno, std::generic_category());
    return -1;
  }
  // The kernel answers a dump at once; a bound wait only guards against a kernel that never does.
  timeval timeout{2, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  return fd;
}

RoutingTables readRoutingTables(int socket) {
  static std::atomic<std::uint32_t> lastSequence{0};
  for (int attempt = 1;; ++attempt) {
    RoutingTables tables;
    bool complete = true;
    auto dump = [&](std::uint16_t type, const auto& body, void (*add)(const nlmsghdr&, RoutingTables&)) {
      const std::uint32_t sequence = ++lastSequence;
      sendDump(socket, type, sequence, body);
      complete = receiveDump(socket, sequence, [&](const nlmsghdr& message) { add(message, tables); }) && complete;
    };
    // Links first: addresses and routes name them.
    dump(RTM_GETLINK, ifinfomsg{}, addLink);
    ifaddrmsg allAddresses{};
    dump(RTM_GETADDR, allAddresses, addAddress);
    for (const unsigned char family : {AF_INET, AF_INET6}) {
      rtmsg routes{};
      routes.rtm_family = family;
      dump(RTM_GETROUTE, routes, addRoute);
    }
    if (complete || attempt == kDumpAttempts) return tables;
  }
}

}  // namespace veltrano::platform
