// Which pages may open the command websocket. A page's script can start robot motion, so a
// browser upgrade is let in only from the operator's own pages: the same machine named the same
// way the page was loaded, loopback to loopback, or an origin the operator listed.
#pragma once

#include <string>
#include <vector>

namespace vb {

class OriginRule {
 public:
  // `listed`: exact origins let in whatever the Host ("*" lets in every origin); `own_host`:
  // this machine's host name.
  OriginRule(std::vector<std::string> listed, std::string own_host);

  // The origins of VB_WEB_ORIGINS (comma-separated) and gethostname().
  static OriginRule from_environment();

  // Whether an upgrade with this Origin header may open, given its Host header. No Origin (a
  // non-browser client) is let in. A name that resolves to this machine only through DNS is not
  // trusted by itself: a rebinding page's Origin and Host both carry the attacker's name.
  bool allows(const std::string& origin, const std::string& host) const;

 private:
  std::vector<std::string> _listed;
  bool _any = false;
  std::string _own_host;  // lower case; empty when unknown
};

}  // namespace vb
