#include "VaTransport.h"
#include "VaTtyTransport.h"

std::unique_ptr<TVaTransport> VaMakeTransport(const std::string& path, std::shared_ptr<TVaModemLines> modemLines)
{
    // A remote port is named by a URL ("rfc2217://HOST:PORT", "socket://HOST:PORT"); everything
    // else is the path of a local tty.
    const size_t scheme = path.find("://");
    if (scheme != std::string::npos && scheme > 0 &&
        path.find_first_not_of("abcdefghijklmnopqrstuvwxyz0123456789+-.") == scheme)
        return nullptr;
    return std::make_unique<TVaTtyTransport>(std::move(modemLines));
}
