#pragma once

#include <QString>

namespace ferrovin {

// The program's own version, the one the update check compares with.
inline const QString kProgramVersion = QStringLiteral("1.1.1");

// The vendor's web site, chosen when the program is built (the CMake cache
// variable FERROVIN_VENDOR_HOST); empty when the build has none, and then the
// update check fails at once and the web links are unavailable.
inline const QString kVendorHost = QStringLiteral(FERROVIN_VENDOR_HOST);

inline bool HasVendorHost() { return !kVendorHost.isEmpty(); }

inline QString HowToUseUrl() { return QStringLiteral("https://") + kVendorHost + QStringLiteral("/photo-howto.html"); }
inline QString WebsiteUrl() { return QStringLiteral("https://") + kVendorHost + QStringLiteral("/photo.html"); }
inline QString AboutSiteUrl() { return QStringLiteral("http://") + kVendorHost + QStringLiteral("/photo.html"); }
inline QString DonateUrl() { return QStringLiteral("https://") + kVendorHost + QStringLiteral("/donate.html"); }
inline QString SupportMail() { return QStringLiteral("mailto:support@") + kVendorHost; }
inline QString VersionPath() { return QStringLiteral("/update/photo_version.txt"); }

// The usage guide that ships with the program: installed under
// share/ferrovin/, or beside the executable in a build tree. Empty when
// neither is there.
QString LocalGuidePath();

} // namespace ferrovin
