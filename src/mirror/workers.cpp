#include "mirror/workers.h"

#include <QRunnable>

namespace {

class Task : public QRunnable
{
public:
    Task(std::function<void()> work, QSemaphore *finished) : work(std::move(work)), finished(finished) {}
    void run() override
    {
        work();
        finished->release();
    }

private:
    std::function<void()> work;
    QSemaphore *finished;
};

} // namespace

void Workers::run(std::function<void()> work)
{
    pool.start(new Task(std::move(work), &finished));
    ++running;
}

void Workers::runBounded(std::function<void()> work, int most)
{
    if (running >= most)
        wait();
    run(std::move(work));
}

void Workers::wait(const std::function<void()> &idle)
{
    for (; running > 0; --running) {
        while (!finished.tryAcquire(1, 100)) {
            if (idle)
                idle();
        }
    }
}
