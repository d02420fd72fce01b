#pragma once

#include "render/HexFrameRenderer.h"
#include "tools/varnel-pc/SubCommand.h"

#include <iosfwd>

// varnel-pc render [--response] [HEX...]: prints what the parse dialog would show,
// one frame per HEX argument, or one frame per line of the input when there is none.
class RenderCommand : public SubCommand
{
public:
    RenderCommand(std::istream& in, std::ostream& out, std::ostream& err);

    int run(const QStringList& args) override;
    QString usage() const override;

private:
    bool parseArgs(const QStringList& args);
    void renderFrame(const QString& frame);
    void renderLines();

    std::istream& m_in;
    std::ostream& m_out;
    std::ostream& m_err;
    HexFrameRenderer m_renderer;
    HexFrameRenderer::Direction m_direction = HexFrameRenderer::Direction::Request;
    QStringList m_frames;
    int m_frameCount = 0;
    bool m_allOk = true;
};
