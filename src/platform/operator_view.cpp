#include "platform/operator_view.h"

#include <atomic>

namespace tarvell
{
namespace
{

class CNullView final : public CWindowlessView
{
public:
    void ShowMessage(std::string_view, std::string_view, MessageIcon, bool) override {}
};

std::string OneLine(std::string_view text)
{
    std::string line;
    line.reserve(text.size());
    for (char c : text)
    {
        if (c != '\r')
            line += (c == '\n' || c == '\t') ? ' ' : c;
    }
    while (!line.empty() && line.back() == ' ')
        line.pop_back();
    return line;
}

CNullView g_nullView;
std::atomic<IOperatorView*> g_view{&g_nullView};

} // namespace

std::string MessageLine(std::string_view caption, std::string_view text)
{
    return caption.empty() ? OneLine(text) : OneLine(caption) + ": " + OneLine(text);
}

IOperatorView& OperatorView()
{
    return *g_view.load(std::memory_order_acquire);
}

void SetOperatorView(IOperatorView* view)
{
    g_view.store(view ? view : &g_nullView, std::memory_order_release);
}

} // namespace tarvell
