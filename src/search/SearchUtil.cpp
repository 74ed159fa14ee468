#include "search/SearchUtil.h"

#include "base/Hex.h"

namespace sorvena {

std::vector<std::string> GetKeywordList(std::string_view text)
{
    std::vector<std::string> items;
    while (!text.empty()) {
        const size_t space = text.find(' ');
        if (space == std::string_view::npos) {
            items.emplace_back(text);
            break;
        }
        items.emplace_back(text.substr(0, space));
        text.remove_prefix(space + 1);
    }
    return items;
}

std::string UrlEncode(std::string_view text)
{
    std::string out;
    out.reserve(text.size() * 3);
    for (const char c : text) {
        const auto b = static_cast<unsigned char>(c);
        const bool alnum = (b >= 'a' && b <= 'z') || (b >= 'A' && b <= 'Z') || (b >= '0' && b <= '9');
        if (alnum || b == '@' || (std::string_view("!$'()*-._").find(c) != std::string_view::npos)) {
            out += c;
        } else if (b == ' ') {
            out += '+';
        } else {
            AppendPercentEscape(out, b);
        }
    }
    return out;
}

namespace {

std::string_view codeAt(const std::string_view (&codes)[CategoryCount], int category)
{
    return category >= 0 && category < CategoryCount ? codes[category] : std::string_view();
}

}  // namespace

std::string_view CategoryCodeCid(int category)
{
    static constexpr std::string_view Codes[CategoryCount] = {"", "10", "1", "2", "3", "4", "7", "7", "5", "6", "8", "7"};
    return codeAt(Codes, category);
}

std::string_view CategoryCodeCat(int category)
{
    static constexpr std::string_view Codes[CategoryCount] = {"0", "", "9", "5", "", "", "21", "22", "", "", "", ""};
    return codeAt(Codes, category);
}

std::string_view CategoryCodeMaincat(int category)
{
    static constexpr std::string_view Codes[CategoryCount] = {"0", "11", "6", "1", "2", "7", "1", "1", "4", "3", "5", "12"};
    return codeAt(Codes, category);
}

}  // namespace sorvena
