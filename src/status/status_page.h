#pragma once
// The status server's page: a small self-refreshing HTML page that reads /status. Any
// thread.

namespace tarvell
{

// The whole page (HTML with its style and script; no outside resources).
const char* StatusPageHtml();

} // namespace tarvell
