// The meter's counting switched on, resumed from what the store kept, and
// switched off.
#include "meter.h"

#include <QDebug>
#include <net/if.h>
#include <utility>

namespace vexmora::meter {

void Meter::startCounting()
{
    apps_.rememberTodaysApps(store_, clock_.wallMs());
    apps_.open();
    const qint64 now = clock_.elapsedMs();
    ByteCounts unplaced;
    if (resumeStored_) {
        unplaced = resumeStoredCounting(now);
    } else {
        host_.rebaseline(now);
    }
    followHostRoutes();
    apps_.start(now);
    lastSampleMs_ = now;
    lastWallMs_ = clock_.wallMs();
    qInfo().noquote() << "Counting the traffic of"
                      << (options_.interfaces.isEmpty() ? QByteArray("the physical interfaces")
                                                        : options_.interfaces.join(','));
    if (!unplaced.isZero()) {
        creditUnplaced(unplaced, lastWallMs_);
    }
    // Stored at once: a stop before the first minute ends then loses nothing.
    baselineUnsaved_ = true;
}

void Meter::followHostRoutes()
{
    std::vector<HostRoute> routes;
    QString error;
    if (!routes_.read(routes, &error)) {
        if (!std::exchange(routesUnread_, true))
            qWarning().noquote() << "The host's routes cannot be read, so the containers' "
                                    "traffic to the host may be counted:"
                                 << error;
        return;
    }
    routesUnread_ = false;
    const auto counted = [this](int ifindex) {
        char name[IF_NAMESIZE];
        return if_indextoname(unsigned(ifindex), name) && host_.counts(QByteArray(name));
    };
    apps_.setHostRoutes(routePrefixes(routes, counted));
}

ByteCounts Meter::resumeStoredCounting(qint64 elapsedMs)
{
    store::MeterState stored;
    const store::StateResult read = store_.loadState(stored);
    if (read == store::StateResult::OtherTables) {
        qWarning("The meter's tables in the database have other columns: they are made anew and "
                 "counting starts from a fresh baseline.");
        if (store_.replaceMeterTables() != store::StoreResult::Done) {
            qWarning("The meter's tables cannot be made anew: the rows are written without them.");
        }
    }
    if (read != store::StateResult::Read) {
        host_.rebaseline(elapsedMs);
        return ByteCounts();
    }
    const int unusableMinutes = ledger_.resumeMinutes(stored.minutes);
    const int unusableCarry = resumeCarry(stored.carry) ? 0 : 1;
    const Resumption resumption = host_.resume(stored.baselines, elapsedMs);
    logResumption(resumption, stored.mistyped + unusableMinutes + unusableCarry);
    return resumption.credited;
}

// The application rows of the carry's day hold it already: it is the most
// the stored carry can be.
bool Meter::resumeCarry(const store::AppCarry &carry)
{
    store::AppCarry attributed;
    if (carry.utcDay >= 0 && store_.loadAttributedBytes(carry.utcDay, kUnattributed, attributed) !=
                                 store::StoreResult::Done) {
        return false;
    }
    return apps_.resume(carry, attributed);
}

void Meter::stopCounting()
{
    // The traffic up to the moment the switch was noticed is counted; the
    // hour stays open, so that its minutes are not counted twice if counting
    // comes back on within it.
    sample(clock_.elapsedMs());
    ledger_.interrupt();
    // Without stored counters a restart credits nothing of what moves while
    // counting is off.
    saveRows({});
    apps_.stop();
    qInfo("Counting switched off.");
}

} // namespace vexmora::meter
