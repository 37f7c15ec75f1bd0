#!/usr/bin/env python3
"""Reads the target graph written by `cmake --graphviz=FILE` and fails when
our own targets (risk_*, the module, the tests, addons, fuzzers and
benchmarks) depend on each other in a circle. Prints every circle found, or
the library floors (each library and the libraries of ours it links).

usage: target_cycles.py FILE.dot
"""
import re
import sys

OURS = re.compile(r"^(risk_\w+|QuonRiskComm|\w+_(test|addon|fuzz|bench))$")
NODE = re.compile(r'^\s*"(node\d+)"\s*\[\s*label\s*=\s*"([^"]*)"')
EDGE = re.compile(r'^\s*"(node\d+)"\s*->\s*"(node\d+)"')


def read_graph(path):
    labels, edges = {}, {}
    with open(path) as dot:
        for line in dot:
            node = NODE.match(line)
            if node:
                labels[node.group(1)] = node.group(2)
                continue
            edge = EDGE.match(line)
            if edge:
                edges.setdefault(edge.group(1), set()).add(edge.group(2))
    graph = {}
    for source, label in labels.items():
        if OURS.match(label):
            graph.setdefault(label, set())
            for target in edges.get(source, ()):
                # CMake draws an executable whose tests are discovered
                # after its build (gtest_discover_tests) with an edge to
                # itself; that is no dependency, so self-edges are skipped.
                if OURS.match(labels.get(target, "")) and labels[target] != label:
                    graph[label].add(labels[target])
    return graph


def circles(graph):
    """Strongly connected components with more than one target (Tarjan)."""
    index, low, stack, on_stack, found = {}, {}, [], set(), []

    def visit(v):
        index[v] = low[v] = len(index)
        stack.append(v)
        on_stack.add(v)
        for w in sorted(graph.get(v, ())):
            if w not in index:
                visit(w)
                low[v] = min(low[v], low[w])
            elif w in on_stack:
                low[v] = min(low[v], index[w])
        if low[v] == index[v]:
            component = []
            while True:
                w = stack.pop()
                on_stack.discard(w)
                component.append(w)
                if w == v:
                    break
            if len(component) > 1:
                found.append(sorted(component))

    sys.setrecursionlimit(10000)
    for v in sorted(graph):
        if v not in index:
            visit(v)
    return found


def main():
    if len(sys.argv) != 2:
        print(__doc__.strip(), file=sys.stderr)
        return 2
    graph = read_graph(sys.argv[1])
    if not graph:
        print("no targets of ours in %s" % sys.argv[1], file=sys.stderr)
        return 1
    found = circles(graph)
    for component in found:
        print("circle among targets: " + " <-> ".join(component), file=sys.stderr)
    if found:
        return 1
    for name in sorted(graph):
        if name.startswith("risk_") and not name.endswith("_test"):
            uses = sorted(t for t in graph[name] if t.startswith("risk_"))
            print("%s -> %s" % (name, " ".join(uses) or "(nothing of ours)"))
    print("%d targets of ours, no circle" % len(graph))
    return 0


if __name__ == "__main__":
    sys.exit(main())
