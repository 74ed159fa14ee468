#include "tracker/UdpTracker.h"

#include "base/AsciiCase.h"

namespace sorvena {

bool IsUdpTrackerUrl(std::string_view url)
{
    return AsciiStartsWithNoCase(url, "udp://");
}

UdpAnnounceReply UdpAnnounce(std::string_view, const AnnounceRequest&, const UdpAnnounceOptions&, std::stop_token)
{
    UdpAnnounceReply reply;
    reply.Reason = "UDP trackers are not asked yet";
    return reply;
}

}  // namespace sorvena
