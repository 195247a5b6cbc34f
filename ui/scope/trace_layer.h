// Shows the traces the drawing thread drew (TraceRenderer) inside the
// Scope's plot, on the plot's own layer for its graphs: above the grid,
// under the axes and the legend. Drawing it is one copy of a picture.
#pragma once

#include <QImage>
#include <qcustomplot.h>

namespace stage::ui {

class TraceLayer final : public QCPLayerable {
 public:
  explicit TraceLayer(QCustomPlot* plot) : QCPLayerable(plot, QStringLiteral("main")) {}
  void SetImage(QImage image) { image_ = std::move(image); }
  const QImage& Image() const { return image_; }

 protected:
  void applyDefaultAntialiasingHint(QCPPainter* /*painter*/) const override {}
  void draw(QCPPainter* painter) override {
    if (!image_.isNull()) painter->drawImage(QPointF(0, 0), image_);
  }

 private:
  QImage image_;
};

}  // namespace stage::ui
