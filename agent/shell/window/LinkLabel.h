#pragma once

#include <QLabel>

// A label that acts as a link: a pointing-hand cursor and a click signal.
class LinkLabel : public QLabel
{
    Q_OBJECT
public:
    using QLabel::QLabel;

signals:
    void clicked();

protected:
    void mouseReleaseEvent(QMouseEvent *event) override;
};
