#include "swarm/MetadataFetch.h"

namespace sorvena {

MetadataFetchResult FetchMagnetMetadata(const TTorrentEx&, const MetadataFetchOptions&, std::stop_token)
{
    MetadataFetchResult result;
    result.Reason = "file lists from the swarm are not fetched yet";
    return result;
}

}  // namespace sorvena
