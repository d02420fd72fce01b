"""A small JSON client for the emulator's HTTP control API (http.client only)."""

import http.client
import json
import urllib.parse

from .errors import ApiError, Refused

# Generous: only guards against a unit that never answers.
REQUEST_TIMEOUT = 15.0


class ControlClient:
    """Sends one request per connection to ``http://host:port``.

    ``on_unreachable`` is called (with the OSError) when no answer came; it may raise a better
    error, such as "the process has exited".
    """

    def __init__(self, base_url, on_unreachable=None):
        parts = urllib.parse.urlsplit(base_url)
        if parts.scheme != "http" or not parts.hostname or not parts.port:
            raise ValueError("not a control URL: %r" % base_url)
        self.base_url = base_url
        self._host = parts.hostname
        self._port = parts.port
        self._on_unreachable = on_unreachable

    def request(self, method, path, body=None, query=None, timeout=REQUEST_TIMEOUT, raw=False):
        """Sends ``body`` (a dict or list as JSON, bytes as they are) and returns the answer's
        JSON (None for an empty body), or its text when ``raw``."""
        if query:
            pairs = [(k, v) for k, v in query.items() if v is not None]
            if pairs:
                path = path + "?" + urllib.parse.urlencode(pairs)
        headers = {}
        if body is not None:
            if not isinstance(body, (bytes, bytearray)):
                body = json.dumps(body, ensure_ascii=False).encode("utf-8")
            headers["Content-Type"] = "application/json"
        connection = http.client.HTTPConnection(self._host, self._port, timeout=timeout)
        try:
            connection.request(method, path, body=body, headers=headers)
            response = connection.getresponse()
            status = response.status
            data = response.read()
        except (OSError, http.client.HTTPException) as error:
            if self._on_unreachable is not None:
                self._on_unreachable(method, path, error)
            raise ApiError(method, path, None, "no answer from %s: %s" % (self.base_url, error)) from error
        finally:
            connection.close()
        text = data.decode("utf-8", errors="replace")
        if status >= 400:
            message = _error_text(text) or response.reason or "(no message)"
            if status == 400:
                raise Refused(method, path, status, message)
            raise ApiError(method, path, status, message)
        if raw:
            return text
        if not data.strip():
            return None
        try:
            return json.loads(text)
        except ValueError as error:
            raise ApiError(method, path, status, "the answer is not JSON (%s): %.200r" % (error, text)) from None


def _error_text(text):
    try:
        value = json.loads(text)
    except ValueError:
        return text.strip()[:500]
    if isinstance(value, dict) and isinstance(value.get("error"), str):
        return value["error"]
    return text.strip()[:500]
