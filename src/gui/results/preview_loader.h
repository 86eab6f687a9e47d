#pragma once

#include <QImage>
#include <QObject>
#include <QString>
#include <QThreadPool>

#include <atomic>
#include <cstdint>
#include <memory>

namespace ferrovin {

// One picture decoded for the preview: reduced to fit `bound` when the file
// is larger, with the size of the file's own picture beside it.
struct TDecodedPicture {
    QImage image;
    QSize fullSize;
    QString error;  // the reader's message when it could not be decoded
};

// Decodes with Qt's image readers, ignoring orientation tags, as the pane
// shows the pixels as they are stored.
TDecodedPicture DecodeForPreview(const QString& path, QSize bound);

// Decodes the two pictures of a pair on worker threads, so that moving
// through the list never waits for a decode. Only the newest request is
// delivered; older ones are dropped unseen.
class TPreviewLoader final : public QObject {
    Q_OBJECT
public:
    explicit TPreviewLoader(QObject* parent);
    ~TPreviewLoader() override;
    TPreviewLoader(const TPreviewLoader&) = delete;
    TPreviewLoader& operator=(const TPreviewLoader&) = delete;

    void request(const QString& left, const QString& right, QSize bound);
    // Forgets the request under way, if any.
    void cancel();
    bool pending() const { return m_arrived < 2; }

signals:
    void loaded(const ferrovin::TDecodedPicture& left, const ferrovin::TDecodedPicture& right);

private:
    void arrive(std::uint64_t generation, int side, const TDecodedPicture& picture);

    QThreadPool m_pool;
    std::shared_ptr<std::atomic<std::uint64_t>> m_current;
    std::uint64_t m_generation = 0;
    TDecodedPicture m_parts[2];
    int m_arrived = 2;
};

} // namespace ferrovin
