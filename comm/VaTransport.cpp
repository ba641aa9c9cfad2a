#include "VaTransport.h"
#include "VaNetTransport.h"
#include "VaTtyTransport.h"

std::unique_ptr<TVaTransport> VaMakeTransport(const std::string& path, std::shared_ptr<TVaModemLines> modemLines)
{
    // A remote port is named by a URL ("rfc2217://HOST:PORT", "socket://HOST:PORT"); everything
    // else is the path of a local tty.
    if (!VaIsPortUrl(path))
        return std::make_unique<TVaTtyTransport>(std::move(modemLines));
    std::string scheme = path.substr(0, path.find("://"));
    for (char& c : scheme)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (scheme == "rfc2217" || scheme == "socket")
        return std::make_unique<TVaNetTransport>();
    return nullptr;
}
