#include "link/commport.h"

#include "link/comname.h"
#include "link/protocol.h"

#include <QFileInfo>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <unistd.h>
#endif

namespace lumatrax {

namespace {

// How much input() takes from the system beyond the receive buffer in one call: a few
// receive buffers' worth, so a flooding device cannot keep it reading for ever.
constexpr qint64 kMaxDrainPerInput = 64 * 1024;

// How long closing waits for queued bytes (the stop command on exit) to leave.
constexpr int kCloseFlushMs = 200;

} // namespace

CommPort::CommPort(QObject* parent) : QObject(parent)
{
    setObjectName(QStringLiteral("cm"));
    connect(&m_port, &QSerialPort::readyRead, this, &CommPort::onReadyRead);
    connect(&m_port, &QSerialPort::errorOccurred, this, &CommPort::onErrorOccurred);
}

CommPort::~CommPort()
{
    close();
}

QString CommPort::describe(const QString& reason) const
{
    return QStringLiteral("%1 (%2): %3").arg(comName(m_number), m_devicePath, reason);
}

QString CommPort::lossDescription() const
{
    // The system's own reason for a vanished device is often an odd one ("Inappropriate ioctl
    // for device"); say first what happened.
    return describe(tr("The connection to the device was lost (%1)").arg(m_lossReason));
}

std::optional<QString> CommPort::open()
{
    const QString entry = comDevicePath(m_number, m_startDirectory);
    // A COMn link is opened through the device it names, so the port's lock follows the device.
    const QString target = QFileInfo(entry).canonicalFilePath();
    m_devicePath = target.isEmpty() ? entry : target;

    if (m_port.isOpen())
        return describe(tr("The port is already open"));

    m_port.setPortName(m_devicePath);
    m_port.setBaudRate(kBaudRate);
    m_port.setDataBits(QSerialPort::Data8);
    m_port.setReadBufferSize(kReceiveBufferSize);
    m_lost = false;
    if (!m_port.open(QIODevice::ReadWrite))
        return describe(m_port.errorString());
    return std::nullopt;
}

void CommPort::close()
{
    if (!m_port.isOpen())
        return;
    if (!m_lost && m_port.bytesToWrite() > 0)
        m_port.waitForBytesWritten(kCloseFlushMs);
    m_port.close();
}

std::optional<QString> CommPort::output(const QByteArray& bytes)
{
    if (!m_port.isOpen())
        return describe(tr("The port is not open"));
    if (m_port.write(bytes) != bytes.size())
        return describe(m_port.errorString());
    // Hand the bytes to the system now, so a failing device is reported to the sender.
    m_port.flush();
    if (m_lost)
        return lossDescription();
    return std::nullopt;
}

QByteArray CommPort::input()
{
    if (!m_port.isOpen())
        return {};
    m_inInput = true;
    QByteArray data = m_port.readAll();
#ifdef Q_OS_UNIX
    // Bytes the system holds that Qt has not pulled into the receive buffer yet.
    const int fd = int(m_port.handle());
    char chunk[4096];
    qint64 drained = 0;
    while (fd >= 0 && drained < kMaxDrainPerInput) {
        const ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n <= 0)
            break; // nothing more waits (EAGAIN), or the device failed: Qt reports that
        data.append(chunk, n);
        drained += n;
    }
#endif
    m_inInput = false;
    return data;
}

void CommPort::setRThreshold(int threshold)
{
    m_threshold = threshold;
    if (threshold > 0)
        QMetaObject::invokeMethod(this, &CommPort::raiseIfAboveThreshold, Qt::QueuedConnection);
}

void CommPort::onReadyRead()
{
    if (!m_inInput)
        raiseIfAboveThreshold();
}

void CommPort::raiseIfAboveThreshold()
{
    if (m_threshold <= 0 || !m_port.isOpen() || m_port.bytesAvailable() < m_threshold)
        return;
    raiseEvent(comEvReceive);
}

void CommPort::raiseEvent(int kind)
{
    m_commEvent = kind;
    emit comm();
}

void CommPort::onErrorOccurred(QSerialPort::SerialPortError error)
{
    switch (error) {
    case QSerialPort::ReadError:
    case QSerialPort::WriteError:
    case QSerialPort::ResourceError:
        break;
    default:
        // NoError, failures to open (reported by open() itself), and unsupported operations
        // such as modem lines on a pseudo-terminal are not a loss of the link.
        return;
    }
    if (!m_port.isOpen() || m_lost)
        return;
    m_lost = true;
    m_lossReason = m_port.errorString();
    // Closing inside Qt's own error report is unsafe; close once control is back in the loop.
    QMetaObject::invokeMethod(this, &CommPort::closeAfterLoss, Qt::QueuedConnection);
}

void CommPort::closeAfterLoss()
{
    if (m_port.isOpen())
        m_port.close();
    emit linkLost(lossDescription());
}

} // namespace lumatrax
