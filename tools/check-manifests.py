#!/usr/bin/env python3
"""Reads `kubectl kustomize deploy/kubernetes` (and deploy/compose.yaml) and checks what a
cluster would only show at run time: probes on the API's health routes, Service ports that match
the units the pods serve, the token taken from a Secret and never written into the manifests."""
import subprocess
import sys

import yaml

failures = []


def check(ok, what):
    if not ok:
        failures.append(what)


def env_of(container):
    return {e["name"]: e for e in container.get("env", [])}


def main(root):
    rendered = subprocess.run(["kubectl", "kustomize", f"{root}/deploy/kubernetes"], check=True,
                              capture_output=True, text=True).stdout
    docs = [d for d in yaml.safe_load_all(rendered) if d]
    by_kind = {}
    for d in docs:
        by_kind.setdefault(d["kind"], []).append(d)
    check(set(by_kind) >= {"StatefulSet", "Service", "ConfigMap"}, f"kinds rendered: {sorted(by_kind)}")
    check("Secret" not in by_kind, "a Secret is rendered: the token would be in the manifests")
    config = by_kind["ConfigMap"][0]
    k = int(config["data"]["units-per-pod"])
    first = int(config["data"]["first-port"])
    sts = by_kind["StatefulSet"][0]
    svc = by_kind["Service"][0]
    pod = sts["spec"]["template"]["spec"]
    container = pod["containers"][0]
    env = env_of(container)

    check(svc["spec"].get("clusterIP") == "None", "the Service is not headless")
    check(sts["spec"]["serviceName"] == svc["metadata"]["name"], "the StatefulSet names another Service")
    selector = svc["spec"]["selector"]
    labels = sts["spec"]["template"]["metadata"]["labels"]
    check(all(labels.get(key) == value for key, value in selector.items()),
          f"the Service's selector {selector} does not select the pods {labels}")
    ports = {p["name"]: p for p in svc["spec"]["ports"]}
    check(ports.get("unit-first", {}).get("port") == first, f"unit-first is not {first}")
    check(ports.get("unit-last", {}).get("port") == first + k - 1, f"unit-last is not {first + k - 1}")
    control = container["ports"][0]["containerPort"]
    check(ports.get("control", {}).get("targetPort") == control, "the Service's control port is not the pod's")
    check(env.get("VARNEL_CONTROL", {}).get("value", "").endswith(f":{control}"),
          "VARNEL_CONTROL does not listen on the control port")

    check(container["readinessProbe"]["httpGet"]["path"] == "/readyz", "readiness does not probe /readyz")
    check(container["livenessProbe"]["httpGet"]["path"] == "/healthz", "liveness does not probe /healthz")
    for probe in ("readinessProbe", "livenessProbe"):
        check(container[probe]["httpGet"]["port"] in ("control", control), f"{probe} probes another port")
    notes = sts["spec"]["template"]["metadata"].get("annotations", {})
    check(notes.get("prometheus.io/path") == "/metrics" and notes.get("prometheus.io/port") == str(control),
          f"scrape annotations {notes}")

    check("VARNEL_CONTROL_TOKEN" not in env, "the token is inlined as VARNEL_CONTROL_TOKEN")
    token_file = env.get("VARNEL_CONTROL_TOKEN_FILE", {}).get("value", "")
    mounts = {m["name"]: m["mountPath"] for m in container.get("volumeMounts", [])}
    secrets = {v["name"]: v["secret"]["secretName"] for v in pod.get("volumes", []) if "secret" in v}
    mounted = [name for name, path in mounts.items() if token_file.startswith(path + "/") and name in secrets]
    check(bool(mounted), f"VARNEL_CONTROL_TOKEN_FILE {token_file!r} is not on a mounted Secret")
    check(container.get("resources", {}).get("requests"), "no resource requests")
    check(pod.get("securityContext", {}).get("runAsNonRoot") is True, "the pod may run as root")

    compose = yaml.safe_load(open(f"{root}/deploy/compose.yaml"))
    services = compose["services"]
    check(len(services) == 3, f"compose has {len(services)} services, not 3")
    firsts = sorted(int(s["environment"]["FIRST_UNIT"]) for s in services.values())
    check(firsts == [1, 1001, 2001], f"compose's first units {firsts}")
    for name, s in services.items():
        check("VARNEL_CONTROL_TOKEN" not in s["environment"], f"compose {name} inlines the token")

    for f in failures:
        print("FAIL:", f, file=sys.stderr)
    print(f"manifests: {len(docs)} objects rendered, {k} units per pod from port {first}; "
          f"{len(failures)} problems")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1] if len(sys.argv) > 1 else "."))
