// Which pages may open the command websocket. A page's script can start robot motion, so a
// browser upgrade is let in only from the operator's own pages: the same machine named the same
// way the page was loaded (an IP address, "localhost" or one of the machine's own names),
// loopback to loopback, or an origin the operator listed.
#pragma once

#include <string>
#include <vector>

namespace vb {

class OriginRule {
 public:
  // `listed`: exact origins let in whatever the Host ("*" lets in every origin); `own_names`:
  // this machine's names (any case, with or without a trailing dot).
  OriginRule(std::vector<std::string> listed, std::vector<std::string> own_names);

  // The origins of VB_WEB_ORIGINS (comma-separated) and own_names().
  static OriginRule from_environment();

  // This machine's names: its host name, that name's first label with ".local" (its mDNS
  // name), and the canonical name and aliases the resolver gives for the host name. The
  // resolver may wait on DNS, so this is done once, before serving.
  static std::vector<std::string> own_names();

  // Whether an upgrade with this Origin header may open, given its Host header. No Origin (a
  // non-browser client) is let in. A name that resolves to this machine only through DNS is not
  // trusted by itself: a rebinding page's Origin and Host both carry the attacker's name.
  bool allows(const std::string& origin, const std::string& host) const;

 private:
  std::vector<std::string> _listed;
  bool _any = false;
  std::vector<std::string> _own_names;  // lower case, without a trailing dot
};

}  // namespace vb
