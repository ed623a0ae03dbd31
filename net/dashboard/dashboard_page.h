#ifndef NET_DASHBOARD_DASHBOARD_PAGE_H_
#define NET_DASHBOARD_DASHBOARD_PAGE_H_

#include <string>

namespace daqnet {

// The dashboard: one self-contained HTML page (stylesheet and script inline,
// nothing loaded from elsewhere) that the HTTP server serves at "/". It reads
// and writes the properties at api/v1/properties relative to its own address.
// Built once; safe to call from any thread.
const std::string& dashboard_page();

}  // namespace daqnet

#endif  // NET_DASHBOARD_DASHBOARD_PAGE_H_
