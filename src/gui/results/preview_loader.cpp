#include "gui/results/preview_loader.h"

#include <QImageReader>
#include <QMetaObject>

namespace ferrovin {

TDecodedPicture DecodeForPreview(const QString& path, QSize bound)
{
    QImageReader reader(path);
    reader.setAutoTransform(false);
    const QSize full = reader.size();
    // A reduced decode: JPEG readers then scale in the transform, which turns
    // a 24-megapixel photo into a screenful in a fraction of the full time.
    if (full.isValid() && bound.isValid()
        && (full.width() > bound.width() || full.height() > bound.height()))
        reader.setScaledSize(full.scaled(bound, Qt::KeepAspectRatio).expandedTo(QSize(1, 1)));
    QImage image = reader.read();
    if (image.isNull()) {
        QString error = reader.errorString();
        if (error.isEmpty())
            error = QStringLiteral("Unknown error");
        return {{}, {}, error};
    }
    return {image.convertToFormat(QImage::Format_ARGB32_Premultiplied),
            full.isValid() ? full : image.size(), {}};
}

TPreviewLoader::TPreviewLoader(QObject* parent)
    : QObject(parent), m_current(std::make_shared<std::atomic<std::uint64_t>>(0))
{
    // One thread a side: the two pictures of a pair decode at the same time.
    m_pool.setMaxThreadCount(2);
}

TPreviewLoader::~TPreviewLoader()
{
    cancel();
    m_pool.clear();
    m_pool.waitForDone();
}

void TPreviewLoader::request(const QString& left, const QString& right, QSize bound)
{
    const std::uint64_t generation = ++m_generation;
    m_current->store(generation);
    m_arrived = 0;
    // Requests that have not started yet are dropped at once.
    m_pool.clear();
    const QString paths[2] = {left, right};
    for (int side = 0; side < 2; ++side) {
        m_pool.start([this, current = m_current, generation, side, path = paths[side], bound] {
            if (current->load() != generation)
                return;
            TDecodedPicture picture = DecodeForPreview(path, bound);
            QMetaObject::invokeMethod(
                this, [this, generation, side, picture] { arrive(generation, side, picture); },
                Qt::QueuedConnection);
        });
    }
}

void TPreviewLoader::cancel()
{
    ++m_generation;
    m_current->store(m_generation);
    m_arrived = 2;
}

void TPreviewLoader::arrive(std::uint64_t generation, int side, const TDecodedPicture& picture)
{
    if (generation != m_generation)
        return;
    m_parts[side] = picture;
    if (++m_arrived < 2)
        return;
    const TDecodedPicture left = std::move(m_parts[0]);
    const TDecodedPicture right = std::move(m_parts[1]);
    m_parts[0] = {};
    m_parts[1] = {};
    emit loaded(left, right);
}

} // namespace ferrovin
