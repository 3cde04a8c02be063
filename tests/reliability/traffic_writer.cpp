// Plays the measuring side for a bounded time: adds application traffic and
// saves hours through the store's write interface as fast as it can, new
// hours and rewrites of earlier ones, and prints every write with its answer:
//   app<TAB>package<TAB>recv<TAB>sent<TAB>answer
//   hour<TAB>hour text<TAB>tag<TAB>answer
// A tag is unique over the run and stored in the hour's peaks
// (recv_peak = tag, sent_peak = tag + 1, total_peak = 2 * tag + 1).
#include "traffic_store.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <random>
#include <string>
#include <vector>

using namespace vexmora::store;

namespace {

const char *const kPackages[] = {"org.mail.client", "com.例子.浏览器", "café.player",
                                 "net.sync.daemon", "org.update.agent"};

// Local hour text of `index` + 2 hours before `start`: always a finished hour
// that a report may hand out.
std::string pastHour(time_t start, size_t index)
{
    const time_t then = start - static_cast<time_t>(index + 2) * 3600;
    tm local{};
    localtime_r(&then, &local);
    char text[20];
    strftime(text, sizeof text, "%Y-%m-%d %H:00", &local);
    return text;
}

class Writer
{
public:
    Writer() : start_(time(nullptr)), random_(20240611) {}

    void addTraffic()
    {
        const char *package = kPackages[random_() % std::size(kPackages)];
        const int64_t recv = 1 + random_() % 5000000;
        const int64_t sent = random_() % 3000000;
        const int answer = addAppTraffic(package, recv, sent);
        printf("app\t%s\t%lld\t%lld\t%d\n", package, static_cast<long long>(recv),
               static_cast<long long>(sent), answer);
    }

    // Every other call a new hour, otherwise a rewrite of one written before.
    void saveHour()
    {
        ++tag_;
        if (hours_.empty() || tag_ % 2 == 0) {
            hours_.push_back(pastHour(start_, hours_.size()));
        }
        const std::string &hour = tag_ % 2 == 0 ? hours_.back() : hours_[random_() % hours_.size()];
        const HourRecord record{60, 1024LL * tag_, 2048LL * tag_, tag_, tag_ + 1, 2 * tag_ + 1};
        const int answer = saveHourData(hour.c_str(), record);
        printf("hour\t%s\t%d\t%d\n", hour.c_str(), tag_, answer);
    }

private:
    time_t start_;
    std::minstd_rand random_;
    std::vector<std::string> hours_;
    int tag_ = 0;
};

} // namespace

int main(int argc, char *argv[])
{
    if (argc != 2 || atoi(argv[1]) <= 0) {
        fprintf(stderr, "usage: %s SECONDS\n", argv[0]);
        return 2;
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(atoi(argv[1]));
    Writer writer;
    while (std::chrono::steady_clock::now() < deadline) {
        writer.addTraffic();
        writer.saveHour();
    }
    return 0;
}
