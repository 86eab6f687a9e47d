#pragma once

#include <QString>

namespace ferrovin {

// The program's pages. The host is a reserved example name until the project
// has a site of its own; every link is built from here.
inline const QString kSiteHost = QStringLiteral("ferrovin.example.org");

inline QString HowToUseUrl() { return QStringLiteral("https://") + kSiteHost + QStringLiteral("/photo-howto.html"); }
inline QString WebsiteUrl() { return QStringLiteral("https://") + kSiteHost + QStringLiteral("/photo.html"); }
inline QString AboutSiteUrl() { return QStringLiteral("http://") + kSiteHost + QStringLiteral("/photo.html"); }
inline QString DonateUrl() { return QStringLiteral("https://") + kSiteHost + QStringLiteral("/donate.html"); }
inline QString SupportMail() { return QStringLiteral("mailto:support@") + kSiteHost; }

} // namespace ferrovin
