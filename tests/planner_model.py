"""The last step of a plain Python model of the fusion planners, shared by the planner tests and the density bench."""


def take_clusters(n, masks, sets, limit):
    """Members of the per-qubit clusters a group takes: the largest fitting cluster first (the lower qubit on a tie)
    while at most `limit` qubits are active; a cluster on active qubits only comes along, the others lose what was
    taken. `masks[q]` and `sets[q]` are qubit q's cluster as a bit mask of qubits and a set of members."""
    sets = list(sets)
    taken, active, chosen = set(), 0, set()
    while True:
        fitting = [q for q in range(n) if q not in taken and sets[q] and bin(active | masks[q]).count("1") <= limit]
        if not fitting:
            return chosen
        best = max(fitting, key=lambda q: (len(sets[q]), -q))
        picked = sets[best]
        chosen |= picked
        active |= masks[best]
        taken.add(best)
        for q in range(n):
            if q in taken:
                continue
            if active | masks[q] == active:
                chosen |= sets[q]
                taken.add(q)
            else:
                sets[q] = sets[q] - picked
