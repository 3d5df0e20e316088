// The bench's one table, printed once every trial is done.
#pragma once

class Bench;
struct Results;

void printReport(const Bench &bench, const Results &results);
