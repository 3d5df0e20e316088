#include "frmNotice.h"

#include <QFont>
#include <QLabel>

frmNotice::frmNotice(QWidget *parent)
    : QWidget(parent, Qt::Tool | Qt::MSWindowsFixedSizeDialogHint)
    , lblNotice(new QLabel(QStringLiteral("INCOMING CALL"), this))
{
    setObjectName(QStringLiteral("frmNotice"));
    setWindowTitle(QStringLiteral("VoIP Status Message"));
    setFixedSize(312, 107);

    lblNotice->setObjectName(QStringLiteral("lblNotice"));
    lblNotice->setGeometry(4, 4, 303, 99);
    QFont font(QStringLiteral("MS Sans Serif"));
    font.setPointSizeF(29.25);
    font.setWeight(QFont::Bold);
    lblNotice->setFont(font);
}
