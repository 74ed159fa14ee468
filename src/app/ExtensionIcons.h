#pragma once
// The icon store of the result list: one desktop icon look-up per file
// extension for the whole run. An extension whose look-up gave an icon has an
// image index (its position in IconExtensions); one whose look-up gave none is
// remembered in NoIconExtensions and never asked again.
//
// GUI thread only.

#include <QIcon>
#include <QString>

#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace sorvena {

// The desktop's icon for files with this extension (".mp3"): the icon theme's
// icon of the extension's MIME type, or its generic icon; a null icon when the
// type is unknown or the theme has neither. Throws nothing.
QIcon GetExtensionIcon(const QString& extension);

class TExtensionIcons {
public:
    using Lookup = std::function<QIcon(const QString& extension)>;

    explicit TExtensionIcons(Lookup lookup = GetExtensionIcon);

    // The image index of the icon for name's extension (from its last "."
    // on, ASCII letters folded to lower case); -1 for a name without a dot
    // and for an extension without an icon. An exception from the look-up is
    // traced and counts as no icon.
    int ImageIndexOf(std::string_view name);
    QIcon Image(int imageIndex) const;

    const std::vector<std::string>& IconExtensions() const { return m_iconExtensions; }
    const std::unordered_set<std::string>& NoIconExtensions() const { return m_noIconExtensions; }

private:
    Lookup m_lookup;
    std::vector<QIcon> m_images;
    std::vector<std::string> m_iconExtensions;                // position = image index
    std::unordered_map<std::string, int> m_imageIndexByExtension;  // the same, for look-up by name
    std::unordered_set<std::string> m_noIconExtensions;
};

}  // namespace sorvena
