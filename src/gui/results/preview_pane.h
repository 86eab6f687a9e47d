#pragma once

#include <QImage>
#include <QSize>
#include <QString>

#include <cstdint>

namespace ferrovin {

// "JPEG  4000 x 3000  2.41 MB": the name's extension upper-cased without its
// dot, the picture's pixel size, the file size the search recorded.
QString PictureDescription(const QString& fileName, QSize size, std::int64_t fileSize);

// The pair's similarity as "#,##0" then "%".
QString PercentText(double similarity);

// The white frame, drawn as it would be on the picture at `fullSize`: a pen
// of min(w, h) div 20 (at least 2) centred on the picture's outer edges.
// `image` may be a reduced copy; the frame is scaled with it.
void DrawImageFrame(QImage& image, QSize fullSize);

} // namespace ferrovin
