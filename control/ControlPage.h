#pragma once

#include <QString>

namespace httplib {
struct Request;
struct Response;
} // namespace httplib

// The page of the units, served by the control API from files built into the program: "/"
// is ui/index.html, "ui/NAME" the other files beside it. It needs nothing but the API.
class ControlPage
{
public:
    // A path without its leading slash ("", "ui/app.js"); false for a file that is not there.
    static bool serve(const QString& path, httplib::Response& response);
    // Whether the request only fetches the page's files, which a browser loads before the page
    // can ask for a token; they hold nothing of the units.
    static bool isPageRequest(const httplib::Request& request);
};
