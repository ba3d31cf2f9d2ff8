#pragma once

#include <QCheckBox>

// A check box whose caption breaks into lines at blanks to fit its width,
// as a caption in a tall, narrow check box always has. text() keeps the
// caption as given.
class WrappingCheckBox : public QCheckBox
{
    Q_OBJECT
public:
    using QCheckBox::QCheckBox;

    // The caption with line breaks for a box of the given width.
    QString wrappedText(int width) const;
    // The smallest size that shows the caption unclipped at that width.
    QSize neededSize(int width) const;
    // The narrowest width at which no single word is cut.
    int minimumUsefulWidth() const;

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    int indicatorSpace() const;
};
