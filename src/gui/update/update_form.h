#pragma once

#include <QDialog>
#include <QString>

#include <cstdint>
#include <functional>

class QLabel;
class QNetworkAccessManager;
class QNetworkReply;
class QPushButton;
class QTimer;

namespace ferrovin {

// The update check window, opened from Help and, once, at start-up. Each
// showing fetches the vendor's version text and says whether it is new.
class TUpdateForm final : public QDialog {
    Q_OBJECT
public:
    explicit TUpdateForm(QWidget* parent = nullptr);

    // The main window's start-up flag, cleared here in every outcome.
    void setAutoCheckPending(bool* pending) { m_autoCheckPending = pending; }
    // "host" or "host:port"; the build's vendor host unless a test points elsewhere.
    void setHost(const QString& host) { m_host = host; }
    // The download page hand-off (tests).
    void setOpener(std::function<void(const QString&)> open) { m_open = std::move(open); }

    // 0 while checking, 1 when answered or asked to close, 2 when the check failed.
    std::uint8_t UpdateCheckState = 0;

    QLabel* UpdateStatusLabel = nullptr;
    QPushButton* DownloadButton = nullptr;
    QPushButton* OKButton = nullptr;
    QTimer* Timer1 = nullptr;

public slots:
    void FormShow();
    void Timer1Timer();
    void OKButtonClick();
    void DownloadButtonClick();

signals:
    // The check has ended (answered or failed) and the window shows the outcome.
    void checked();

protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void done(int result) override;

private:
    void finish(QNetworkReply* reply);
    void FormCloseQuery();

    QNetworkAccessManager* m_network = nullptr;
    QNetworkReply* m_reply = nullptr;
    bool* m_autoCheckPending = nullptr;
    QString m_host;
    std::function<void(const QString&)> m_open;
};

} // namespace ferrovin
