#include "tools/sim/acquisitionsettings.h"

namespace lumatrax {

namespace {

int levelCodeOf(const Command& c)
{
    return c[2] * 256 + c[3];
}

bool opcodeIs(const Command& c, Opcode opcode)
{
    return c[0] == std::uint8_t(opcode);
}

} // namespace

bool AcquisitionSettings::apply(const Command& c)
{
    if (opcodeIs(c, Opcode::CMD_RUN) && c[3] <= 1) {
        running = c[3] == 1;
        return true;
    }
    if (opcodeIs(c, Opcode::CMD_TIMEBASE) && c[3] < kTimebases.size()) {
        timebaseIndex = c[3];
        return true;
    }
    if (opcodeIs(c, Opcode::CMD_TRIG_EDGE) && c[3] <= 1) {
        edge = c[3] == 0 ? TriggerEdge::Rising : TriggerEdge::Falling;
        return true;
    }
    if (opcodeIs(c, Opcode::CMD_TRIG_LEVEL) && levelCodeOf(c) <= kMaxLevelCode) {
        levelCode = levelCodeOf(c);
        return true;
    }
    return false;
}

std::chrono::nanoseconds AcquisitionSettings::sampleInterval() const
{
    return std::chrono::nanoseconds(frameTime(timebaseIndex)) / SAMPLES_PER_FRAME;
}

QString describeCommand(const Command& c)
{
    if (c == SYNC_FRAME)
        return QStringLiteral("SYNC");
    if (c == CMD_HELLO)
        return QStringLiteral("HELLO");
    if (opcodeIs(c, Opcode::CMD_RUN))
        return QStringLiteral("RUN %1").arg(c[3]);
    if (opcodeIs(c, Opcode::CMD_TIMEBASE)) {
        const QString name = c[3] < kTimebases.size()
                                 ? QString::fromUtf8(kTimebases[c[3]].name.data(),
                                                     qsizetype(kTimebases[c[3]].name.size()))
                                 : QStringLiteral("no such timebase");
        return QStringLiteral("TIMEBASE %1 (%2)").arg(c[3]).arg(name);
    }
    if (opcodeIs(c, Opcode::CMD_TRIG_LEVEL)) {
        const int code = levelCodeOf(c);
        return code <= kMaxLevelCode ? QStringLiteral("TRIGGER LEVEL %1").arg(code)
                                     : QStringLiteral("TRIGGER LEVEL %1 (out of range)").arg(code);
    }
    if (opcodeIs(c, Opcode::CMD_TRIG_EDGE)) {
        if (c[3] <= 1)
            return c[3] == 0 ? QStringLiteral("TRIGGER EDGE rising")
                             : QStringLiteral("TRIGGER EDGE falling");
        return QStringLiteral("TRIGGER EDGE %1 (unknown)").arg(c[3]);
    }
    return QStringLiteral("UNKNOWN %1 %2 %3 %4").arg(c[0]).arg(c[1]).arg(c[2]).arg(c[3]);
}

} // namespace lumatrax
