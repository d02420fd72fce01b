#include "control/ControlPage.h"

#include "ControlPageFiles.h"

#include <cstring>

#include <httplib.h>

namespace {

const QString kIndex = QStringLiteral("ui/index.html");

} // namespace

bool ControlPage::serve(const QString& path, httplib::Response& response)
{
    const QByteArray wanted = (path.isEmpty() ? kIndex : path).toUtf8();
    for (const controlpagefiles::File& file : controlpagefiles::kFiles) {
        if (wanted != file.path)
            continue;
        response.status = 200;
        response.set_content(reinterpret_cast<const char*>(file.data), file.size, file.type);
        // Its own scripts and the API only: no inline script, no other site, no frame around it.
        response.set_header("Content-Security-Policy",
                            "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self' data:; "
                            "connect-src 'self'; frame-ancestors 'none'; base-uri 'none'; form-action 'none'");
        response.set_header("X-Content-Type-Options", "nosniff");
        response.set_header("Referrer-Policy", "no-referrer");
        response.set_header("Cache-Control", "no-cache");
        return true;
    }
    return false;
}

bool ControlPage::isPageRequest(const httplib::Request& request)
{
    if (request.method != "GET" && request.method != "HEAD")
        return false;
    return request.path == "/" || request.path.rfind("/ui/", 0) == 0;
}
