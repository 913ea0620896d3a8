#include "platform/operator_view.h"

#include <atomic>

namespace tarvell
{
namespace
{

class CNullView final : public IOperatorView
{
public:
    void SetStatusLine(std::string_view) override {}
    void SetReceivedTotal(std::int64_t) override {}
    bool IsWindowVisible() const override { return false; }
    void SetWaitDisplay(std::string_view) override {}
    void SetChannelText(std::string_view, std::string_view, ChannelColumn,
                        std::string_view) override
    {
    }
    void ShowMessage(std::string_view, std::string_view, MessageIcon, bool) override {}
};

CNullView g_nullView;
std::atomic<IOperatorView*> g_view{&g_nullView};

} // namespace

IOperatorView& OperatorView()
{
    return *g_view.load(std::memory_order_acquire);
}

void SetOperatorView(IOperatorView* view)
{
    g_view.store(view ? view : &g_nullView, std::memory_order_release);
}

} // namespace tarvell
