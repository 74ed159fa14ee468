#include "search/Torznab.h"

#include <expat.h>

#include <charconv>
#include <limits>

#include "base/AsciiCase.h"

namespace sorvena {

namespace {

// expat reports a namespaced name as "<uri>\x01<local>", a name in no
// namespace as "<local>".
constexpr char NsSeparator = '\x01';

struct Name {
    std::string_view uri;
    std::string_view local;
};

Name splitName(const XML_Char* name)
{
    const std::string_view all(name);
    const size_t sep = all.find(NsSeparator);
    if (sep == std::string_view::npos) return {{}, all};
    return {all.substr(0, sep), all.substr(sep + 1)};
}

std::string_view attribute(const XML_Char** attrs, std::string_view wanted)
{
    for (size_t i = 0; attrs[i] && attrs[i + 1]; i += 2)
        if (splitName(attrs[i]).local == wanted && splitName(attrs[i]).uri.empty()) return attrs[i + 1];
    return {};
}

std::string bounded(std::string_view text)
{
    return std::string(text.substr(0, TorznabMaxFieldBytes));
}

void appendBounded(std::string& out, std::string_view text)
{
    if (out.size() >= TorznabMaxFieldBytes) return;
    out.append(text.substr(0, TorznabMaxFieldBytes - out.size()));
}

std::string_view trimmed(std::string_view text)
{
    while (!text.empty() && static_cast<unsigned char>(text.front()) <= 32) text.remove_prefix(1);
    while (!text.empty() && static_cast<unsigned char>(text.back()) <= 32) text.remove_suffix(1);
    return text;
}

template <typename Int>
Int number(std::string_view text, Int fallback)
{
    text = trimmed(text);
    Int value{};
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || ec != std::errc() || end != text.data() + text.size() || value < 0) return fallback;
    return value;
}

// The common part of both parsers: the expat handle, the element path, the
// text of the element being read, and the outcome.
class TStreamParser {
public:
    TStreamParser()
        : m_parser(XML_ParserCreateNS(nullptr, NsSeparator))
    {
        if (!m_parser) return;
        XML_SetUserData(m_parser, this);
        XML_SetElementHandler(m_parser, &TStreamParser::onStart, &TStreamParser::onEnd);
        XML_SetCharacterDataHandler(m_parser, &TStreamParser::onText);
        XML_SetEntityDeclHandler(m_parser, &TStreamParser::onEntityDecl);
    }
    virtual ~TStreamParser()
    {
        if (m_parser) XML_ParserFree(m_parser);
    }
    TStreamParser(const TStreamParser&) = delete;
    TStreamParser& operator=(const TStreamParser&) = delete;

    // True when the whole document parsed; otherwise problem() says why.
    bool Run(std::string_view xml)
    {
        if (!m_parser) return fail("out of memory"), false;
        // In pieces, so that expat never needs one buffer for the whole reply.
        constexpr size_t Piece = 64 * 1024;
        size_t at = 0;
        do {
            const size_t n = std::min(Piece, xml.size() - at);
            const bool last = at + n == xml.size();
            if (XML_Parse(m_parser, xml.data() + at, static_cast<int>(n), last) != XML_STATUS_OK) {
                if (m_problem.empty())
                    m_problem = std::string(XML_ErrorString(XML_GetErrorCode(m_parser))) + " at line " +
                                std::to_string(XML_GetCurrentLineNumber(m_parser));
                return false;
            }
            at += n;
        } while (at < xml.size());
        return true;
    }
    const std::string& Problem() const { return m_problem; }

protected:
    virtual void start(const Name& name, const XML_Char** attrs) = 0;
    virtual void end(const Name& name) = 0;

    size_t depth() const { return m_depth; }
    // The text of the innermost element so far (kept only while wanted).
    std::string m_text;
    bool m_keepText = false;

private:
    void fail(std::string problem)
    {
        m_problem = std::move(problem);
        if (m_parser) XML_StopParser(m_parser, XML_FALSE);
    }

    static void XMLCALL onStart(void* self, const XML_Char* name, const XML_Char** attrs)
    {
        auto& p = *static_cast<TStreamParser*>(self);
        p.m_text.clear();
        p.start(splitName(name), attrs);
        ++p.m_depth;
    }
    static void XMLCALL onEnd(void* self, const XML_Char* name)
    {
        auto& p = *static_cast<TStreamParser*>(self);
        --p.m_depth;
        p.end(splitName(name));
        p.m_text.clear();
        p.m_keepText = false;
    }
    static void XMLCALL onText(void* self, const XML_Char* text, int length)
    {
        auto& p = *static_cast<TStreamParser*>(self);
        if (p.m_keepText) appendBounded(p.m_text, std::string_view(text, static_cast<size_t>(length)));
    }
    // No reply of this API declares entities; refusing them stops expansion
    // bombs before they start.
    static void XMLCALL onEntityDecl(void* self, const XML_Char*, int, const XML_Char*, int, const XML_Char*,
                                     const XML_Char*, const XML_Char*, const XML_Char*)
    {
        static_cast<TStreamParser*>(self)->fail("the reply declares entities");
    }

    XML_Parser m_parser;
    size_t m_depth = 0;
    std::string m_problem;
};

// The <error code description> root of either reply.
bool readError(const Name& name, const XML_Char** attrs, size_t depth, int& code, std::string& description)
{
    if (depth != 0 || !name.uri.empty() || name.local != "error") return false;
    code = number<int>(attribute(attrs, "code"), 0);
    description = bounded(attribute(attrs, "description"));
    return true;
}

class TReplyParser : public TStreamParser {
public:
    TTorznabReply reply;
    bool sawRss = false;
    bool sawError = false;

protected:
    void start(const Name& name, const XML_Char** attrs) override
    {
        if (readError(name, attrs, depth(), reply.ErrorCode, reply.ErrorDescription)) {
            sawError = true;
            return;
        }
        if (depth() == 0) {
            sawRss = name.uri.empty() && name.local == "rss";
            return;
        }
        if (!sawRss) return;
        if (!m_inItem) {
            if (depth() == 2 && name.uri.empty() && name.local == "item") {
                ++reply.ItemCount;
                m_inItem = true;
                m_keep = reply.Items.size() < TorznabMaxItems;
                m_item = TTorznabItem{};
            }
            return;
        }
        if (!m_keep || depth() != 3) return;
        if (!name.uri.empty()) {
            if (name.local == "attr") attr(attribute(attrs, "name"), attribute(attrs, "value"));
            return;
        }
        if (name.local == "enclosure") {
            m_item.EnclosureUrl = bounded(trimmed(attribute(attrs, "url")));
            m_enclosureLength = number<int64_t>(attribute(attrs, "length"), -1);
        } else if (name.local == "title" || name.local == "link" || name.local == "guid" || name.local == "size") {
            m_keepText = true;
        }
    }

    void end(const Name& name) override
    {
        if (!m_inItem) return;
        if (depth() == 2) {
            m_inItem = false;
            if (!m_keep) return;
            if (m_item.Size < 0) m_item.Size = m_attrSize >= 0 ? m_attrSize : m_enclosureLength;
            m_attrSize = m_enclosureLength = -1;
            reply.Items.push_back(std::move(m_item));
            return;
        }
        if (!m_keep || depth() != 3 || !name.uri.empty()) return;
        if (name.local == "title") m_item.Title = std::string(trimmed(m_text));
        else if (name.local == "link") m_item.Link = std::string(trimmed(m_text));
        else if (name.local == "guid") m_item.Guid = std::string(trimmed(m_text));
        else if (name.local == "size") m_item.Size = number<int64_t>(m_text, -1);
    }

private:
    void attr(std::string_view name, std::string_view value)
    {
        const std::string key = AsciiLowerCopy(name);
        if (key == "seeders") m_item.Seeders = number<int32_t>(value, -1);
        else if (key == "peers") m_item.Peers = number<int32_t>(value, -1);
        else if (key == "leechers") m_item.Leechers = number<int32_t>(value, -1);
        else if (key == "size") m_attrSize = number<int64_t>(value, -1);
        else if (key == "magneturl") m_item.MagnetUrl = bounded(trimmed(value));
        else if (key == "infohash") m_item.InfoHash = bounded(trimmed(value));
    }

    bool m_inItem = false;
    bool m_keep = false;
    TTorznabItem m_item;
    int64_t m_attrSize = -1;
    int64_t m_enclosureLength = -1;
};

class TCapsParser : public TStreamParser {
public:
    TTorznabCaps caps;
    bool sawCaps = false;
    bool sawError = false;

protected:
    void start(const Name& name, const XML_Char** attrs) override
    {
        if (readError(name, attrs, depth(), caps.ErrorCode, caps.ErrorDescription)) {
            sawError = true;
            return;
        }
        if (depth() == 0) {
            sawCaps = name.uri.empty() && name.local == "caps";
            return;
        }
        if (!sawCaps || !name.uri.empty()) return;
        if (depth() == 1 && name.local == "limits") {
            caps.LimitMax = number<int>(attribute(attrs, "max"), caps.LimitMax);
            caps.LimitDefault = number<int>(attribute(attrs, "default"), caps.LimitDefault);
        } else if (depth() == 2 && name.local == "search" && m_section == "searching") {
            caps.SearchAvailable = !AsciiEqualsNoCase(trimmed(attribute(attrs, "available")), "no");
        } else if (depth() == 1) {
            m_section = std::string(name.local);
        } else if (m_section == "categories" && caps.Categories.size() < TorznabMaxCategories &&
                   ((depth() == 2 && name.local == "category") || (depth() == 3 && name.local == "subcat"))) {
            TTorznabCategory category;
            category.Id = number<int>(attribute(attrs, "id"), 0);
            category.Name = bounded(attribute(attrs, "name"));
            if (depth() == 2) m_parent = category.Id;
            else category.ParentId = m_parent;
            caps.Categories.push_back(std::move(category));
        }
    }
    void end(const Name&) override
    {
        if (depth() == 1) m_section.clear();
    }

private:
    std::string m_section;
    int m_parent = 0;
};

}  // namespace

int32_t TTorznabItem::PeerCount() const
{
    if (Peers >= 0) return Peers;
    if (Seeders < 0 && Leechers < 0) return -1;
    const int64_t sum = static_cast<int64_t>(std::max(Seeders, 0)) + std::max(Leechers, 0);
    return static_cast<int32_t>(std::min<int64_t>(sum, std::numeric_limits<int32_t>::max()));
}

TTorznabReply ParseTorznabReply(std::string_view xml)
{
    TReplyParser parser;
    const bool parsed = parser.Run(xml);
    TTorznabReply reply = std::move(parser.reply);
    if (parsed && parser.sawError) {
        reply.What = TTorznabReply::Kind::Error;
        reply.Items.clear();
    } else if (parsed && parser.sawRss) {
        reply.What = TTorznabReply::Kind::Feed;
    } else {
        reply.What = TTorznabReply::Kind::Malformed;
        reply.Problem = parsed ? "the reply is no RSS feed" : parser.Problem();
        reply.Items.clear();
    }
    return reply;
}

TTorznabCaps ParseTorznabCaps(std::string_view xml)
{
    TCapsParser parser;
    const bool parsed = parser.Run(xml);
    TTorznabCaps caps = std::move(parser.caps);
    if (parsed && parser.sawError) caps.What = TTorznabReply::Kind::Error;
    else if (parsed && parser.sawCaps) caps.What = TTorznabReply::Kind::Feed;
    else {
        caps.What = TTorznabReply::Kind::Malformed;
        caps.Problem = parsed ? "the reply is no capabilities document" : parser.Problem();
    }
    if (caps.What != TTorznabReply::Kind::Feed) caps.Categories.clear();
    if (caps.LimitMax <= 0) caps.LimitMax = TorznabDefaultLimit;
    if (caps.LimitDefault <= 0 || caps.LimitDefault > caps.LimitMax) caps.LimitDefault = caps.LimitMax;
    return caps;
}

std::string_view TorznabCategoryCodes(int category)
{
    // The standard numbers of the Newznab/Torznab category list; a parent
    // number takes in its subcategories.
    static constexpr std::string_view Codes[] = {
        "",           // All: no cat parameter
        "6000",       // Adult: XXX
        "5070",       // Anime: TV/Anime
        "4000",       // Application: PC
        "1000,4050",  // Game: Console, PC/Games
        "4000",       // Linux: PC (there is no number of its own)
        "4030",       // Macintosh: PC/Mac
        "8000",       // Misc: Other
        "2000",       // Movies
        "3000",       // Music: Audio
        "5000",       // Series & TV: TV
        "8000",       // Other
    };
    if (category < 0 || category >= static_cast<int>(std::size(Codes))) return "";
    return Codes[category];
}

namespace {

std::string withQuery(std::string_view apiUrl)
{
    std::string url(apiUrl.substr(0, apiUrl.find('#')));
    if (url.find('?') == std::string::npos) url += '?';
    else if (url.back() != '?' && url.back() != '&') url += '&';
    return url;
}

}  // namespace

std::string TorznabSearchUrl(std::string_view apiUrl, std::string_view encodedKeyword, int category, int offset,
                             int limit)
{
    std::string url = withQuery(apiUrl) + "t=search&q=" + std::string(encodedKeyword);
    const std::string_view codes = TorznabCategoryCodes(category);
    if (!codes.empty()) url += "&cat=" + std::string(codes);
    url += "&offset=" + std::to_string(offset) + "&limit=" + std::to_string(limit) + "&extended=1";
    return url;
}

std::string TorznabCapsUrl(std::string_view apiUrl)
{
    return withQuery(apiUrl) + "t=caps";
}

std::string TorznabErrorText(int code, std::string_view description)
{
    std::string what;
    switch (code) {
    case 100: what = "wrong API key"; break;
    case 101:
    case 102: what = "the account may not search"; break;
    case 429:
    case 500:
    case 501: what = "request limit reached"; break;
    case 910: what = "the API is disabled"; break;
    default: what = "the indexer reported an error"; break;
    }
    what += " (error " + std::to_string(code);
    if (!description.empty()) what += ": " + std::string(description);
    return what + ")";
}

}  // namespace sorvena
