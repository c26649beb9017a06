// The communication page that web pages embed (path "iframe"): it makes up a page id, relays
// the embedding page's requests to the service and posts the answers back to it.
#pragma once

#include <string>

namespace ToolBox {

// GetIframe returns the page, gathered once per process (BuildIframe) and served from memory
// afterwards: a later change of the configuration or of the page file needs a restart.
std::string GetIframe();

// BuildIframe gathers the page without the cache: the file named by IFRAME_PATH, its lines
// ended by CR-LF, or the built-in page when that gives no text.
std::string BuildIframe();

// DefaultIframe is the built-in page.
const std::string& DefaultIframe();

}  // namespace ToolBox
