#pragma once
// The four messages through which workers report to the window.
//
// Every send is synchronous: the worker blocks until the receiver has handled
// the message on its own thread (the window's GUI thread, or the console's
// thread in sorvena-cli and the tests). A receiver that is closing answers at
// once with false, so that neither side can wait on the other at shutdown.
// A worker that has been asked to end tests that request just before each
// send and then sends nothing.

#include <cstdint>
#include <memory>
#include <string_view>

#include "metainfo/TorrentEx.h"

namespace sorvena {

inline constexpr int WM_USER = 1024;
inline constexpr int WM_SITE_DONE = WM_USER + 1;      // a search worker walked all its pages
inline constexpr int WM_TORRENT_FOUND = WM_USER + 2;  // a new torrent, handed over
inline constexpr int WM_PEER_COUNT = WM_USER + 3;     // a peer check ended
inline constexpr int WM_METADATA_FOUND = WM_USER + 4; // a magnet entry's file list fetch ended

class TWorkerMessages {
public:
    virtual ~TWorkerMessages() = default;

    // WM_SITE_DONE: siteIndex 0..9. False when the receiver is closed.
    virtual bool SiteDone(int siteIndex) = 0;
    // WM_TORRENT_FOUND: the receiver takes the entry over; when it is closed
    // (false) the entry is destroyed.
    virtual bool TorrentFound(std::unique_ptr<TTorrentEx> entry) = 0;
    // WM_PEER_COUNT: the info hash text is valid only during the call.
    virtual bool PeerCount(std::string_view infoHashHex, int32_t count) = 0;
    // WM_METADATA_FOUND: the fetch of the file list of the magnet entry with
    // this info hash ended. torrent is its full torrent (the receiver takes it
    // over; destroyed when the receiver is closed), or null when the fetch
    // failed, with the reason in English. Honoured whether a search runs or
    // not. The texts are valid only during the call.
    virtual bool MetadataFound(std::string_view infoHashHex, std::unique_ptr<TTorrentEx> torrent,
                               std::string_view reason) = 0;
};

}  // namespace sorvena
