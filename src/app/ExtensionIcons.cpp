#include "app/ExtensionIcons.h"

#include <QApplication>
#include <QMimeDatabase>
#include <QStyle>

#include <exception>

#include "base/Trace.h"
#include "base/AsciiCase.h"

namespace sorvena {

QIcon GetExtensionIcon(const QString& extension)
{
    static const QMimeDatabase database;
    const QMimeType type = database.mimeTypeForFile(QStringLiteral("probe") + extension, QMimeDatabase::MatchExtension);
    if (!type.isValid() || type.isDefault()) return {};
    QIcon icon = QIcon::fromTheme(type.iconName());
    if (icon.isNull()) icon = QIcon::fromTheme(type.genericIconName());
    // A desktop without an icon theme shows its generic document icon for a known type.
    if (icon.isNull()) icon = QApplication::style()->standardIcon(QStyle::SP_FileIcon);
    return icon;
}

TExtensionIcons::TExtensionIcons(Lookup lookup) : m_lookup(std::move(lookup)) {}

int TExtensionIcons::ImageIndexOf(std::string_view name)
{
    const size_t dot = name.rfind('.');
    if (dot == std::string_view::npos) return -1;
    const std::string extension = AsciiLowerCopy(name.substr(dot));

    if (m_noIconExtensions.count(extension)) return -1;
    if (auto found = m_imageIndexByExtension.find(extension); found != m_imageIndexByExtension.end())
        return found->second;

    QIcon icon;
    try {
        icon = m_lookup(QString::fromLatin1(extension.data(), static_cast<qsizetype>(extension.size())));
    } catch (const std::exception& e) {
        SORVENA_TRACE(e.what());
    } catch (...) {
        SORVENA_TRACE("unknown error");
    }
    if (icon.isNull()) {
        m_noIconExtensions.insert(std::move(extension));
        return -1;
    }
    const int index = static_cast<int>(m_images.size());
    m_images.push_back(std::move(icon));
    m_imageIndexByExtension.emplace(extension, index);
    m_iconExtensions.push_back(std::move(extension));
    return index;
}

QIcon TExtensionIcons::Image(int imageIndex) const
{
    if (imageIndex < 0 || imageIndex >= static_cast<int>(m_images.size())) return {};
    return m_images[static_cast<size_t>(imageIndex)];
}

}  // namespace sorvena
